# The codec's source is compiled into the target so that libFuzzer's coverage
# reaches inside the parsers.
add_executable(gvcp_fuzz ${CMAKE_CURRENT_LIST_DIR}/gvcp_fuzz.cpp ${PROJECT_SOURCE_DIR}/gvcp/gvcp.cpp)
target_include_directories(gvcp_fuzz PRIVATE ${PROJECT_SOURCE_DIR})
zok_fuzz(gvcp_fuzz fuzzer 1024)
