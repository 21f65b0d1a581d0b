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
# gtest_discover_tests flattens a list-valued LABELS into separate
# arguments, so the second label is set once the test list is known.
gtest_discover_tests(support_unit_tests TEST_LIST support_unit_tests_list)
set(support_labels_script ${CMAKE_CURRENT_BINARY_DIR}/support_unit_tests_labels.cmake)
file(WRITE ${support_labels_script}
  "set_tests_properties(\${support_unit_tests_list} PROPERTIES LABELS \"unit;threads\")\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${support_labels_script})
