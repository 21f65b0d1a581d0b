# The camera's device model behind its GVCP socket.
target_compile_options(strobix_core PRIVATE -fsanitize-coverage=inline-8bit-counters,pc-table)
add_executable(camera_device_fuzz ${CMAKE_CURRENT_LIST_DIR}/camera_device_fuzz.cpp)
target_link_libraries(camera_device_fuzz PRIVATE strobix_core)
target_compile_options(camera_device_fuzz PRIVATE -fsanitize=fuzzer)
target_link_options(camera_device_fuzz PRIVATE -fsanitize=fuzzer)
add_test(NAME camera_device_fuzz COMMAND camera_device_fuzz -max_total_time=20 -seed=1 -max_len=2048)
set_tests_properties(camera_device_fuzz PROPERTIES LABELS fuzz TIMEOUT 120)
