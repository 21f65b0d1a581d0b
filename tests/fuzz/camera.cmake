# The camera's device model behind its GVCP socket.
target_compile_options(strobix_core PRIVATE -fsanitize-coverage=inline-8bit-counters,pc-table)
add_executable(camera_device_fuzz ${CMAKE_CURRENT_LIST_DIR}/camera_device_fuzz.cpp)
target_link_libraries(camera_device_fuzz PRIVATE strobix_core)
zok_fuzz(camera_device_fuzz fuzzer 2048)
