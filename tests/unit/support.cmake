# Tool support (support/): pure procedures tested in-process against a small
# scriptable stand-in for the library.
zok_add_gtest(support_unit_tests SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/support_endpoint_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support_delay_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support_block_checks_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support_report_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support_exit_paths_test.cpp
  LIBS zok_support zok_fake_library LABELS unit threads)
