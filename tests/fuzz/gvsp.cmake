# The codec's source is compiled into the target so that libFuzzer's coverage
# reaches inside the parsers.
add_executable(gvsp_fuzz ${CMAKE_CURRENT_LIST_DIR}/gvsp_fuzz.cpp ${PROJECT_SOURCE_DIR}/gvsp/gvsp.cpp)
target_include_directories(gvsp_fuzz PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(gvsp_fuzz PRIVATE -fsanitize=fuzzer)
target_link_options(gvsp_fuzz PRIVATE -fsanitize=fuzzer)
add_test(NAME gvsp_fuzz COMMAND gvsp_fuzz -max_total_time=20 -seed=1 -max_len=2048)
set_tests_properties(gvsp_fuzz PROPERTIES LABELS fuzz TIMEOUT 120)
