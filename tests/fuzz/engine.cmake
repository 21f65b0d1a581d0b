# The engine's packet path: arbitrary datagrams into a stream core with small
# buffers.
add_executable(engine_fuzz ${CMAKE_CURRENT_LIST_DIR}/engine_fuzz.cpp)
target_link_libraries(engine_fuzz PRIVATE zok_objects zok_testlib)
target_compile_options(engine_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(engine_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
add_test(NAME engine_fuzz COMMAND engine_fuzz -max_total_time=20 -seed=1 -max_len=4096)
set_tests_properties(engine_fuzz PROPERTIES LABELS fuzz TIMEOUT 120)
