add_executable(gvcp_unit_tests ${CMAKE_CURRENT_LIST_DIR}/gvcp_codec_test.cpp)
target_link_libraries(gvcp_unit_tests PRIVATE gvcp GTest::gtest_main)
gtest_discover_tests(gvcp_unit_tests PROPERTIES LABELS unit)

# The outside check of the built bytes; skips, saying so, without tshark.
add_executable(gvcp_tshark_tests ${CMAKE_CURRENT_LIST_DIR}/gvcp_tshark_test.cpp)
target_link_libraries(gvcp_tshark_tests PRIVATE gvcp GTest::gtest_main)
gtest_discover_tests(gvcp_tshark_tests PROPERTIES LABELS unit)
