# The engine's packet path: arbitrary datagrams into a stream core with small
# buffers.
add_executable(engine_fuzz ${CMAKE_CURRENT_LIST_DIR}/engine_fuzz.cpp)
target_link_libraries(engine_fuzz PRIVATE zok_objects zok_testlib)
zok_fuzz(engine_fuzz fuzzer,address,undefined 4096)
