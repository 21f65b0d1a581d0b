# Tool support (support/): pure procedures tested in-process against a small
# scriptable stand-in for the library.
add_executable(support_unit_tests
  ${CMAKE_CURRENT_LIST_DIR}/support_fake_zok.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support_endpoint_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support_delay_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support_block_checks_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support_report_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support_exit_paths_test.cpp)
target_link_libraries(support_unit_tests PRIVATE zok_support GTest::gtest_main)
zok_discover_tests(support_unit_tests LABELS unit threads)
