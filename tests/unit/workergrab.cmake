# workergrab's own setup steps, driven in-process with a fake clock. The
# library calls they link against come from the double and are not reached.
add_executable(workergrab_unit_tests ${CMAKE_CURRENT_LIST_DIR}/workergrab_setup_test.cpp)
target_link_libraries(workergrab_unit_tests PRIVATE workergrab_core zok_double GTest::gtest_main)
gtest_discover_tests(workergrab_unit_tests PROPERTIES LABELS unit)
