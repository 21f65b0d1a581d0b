# The codec's source is compiled into the target so that libFuzzer's coverage
# reaches inside the parsers.
add_executable(gvcp_fuzz ${CMAKE_CURRENT_LIST_DIR}/gvcp_fuzz.cpp ${PROJECT_SOURCE_DIR}/gvcp/gvcp.cpp)
target_include_directories(gvcp_fuzz PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(gvcp_fuzz PRIVATE -fsanitize=fuzzer)
target_link_options(gvcp_fuzz PRIVATE -fsanitize=fuzzer)
add_test(NAME gvcp_fuzz COMMAND gvcp_fuzz -max_total_time=20 -seed=1 -max_len=1024)
set_tests_properties(gvcp_fuzz PROPERTIES LABELS fuzz TIMEOUT 120)
