add_executable(gvsp_unit_tests ${CMAKE_CURRENT_LIST_DIR}/gvsp_codec_test.cpp)
target_link_libraries(gvsp_unit_tests PRIVATE gvsp GTest::gtest_main)
gtest_discover_tests(gvsp_unit_tests PROPERTIES LABELS unit)
