add_executable(gvsp_fuzz ${CMAKE_CURRENT_LIST_DIR}/gvsp_fuzz.cpp)
target_link_libraries(gvsp_fuzz PRIVATE gvsp)
zok_fuzz(gvsp_fuzz fuzzer 2048)
