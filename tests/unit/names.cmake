# Adapter identifiers, the names file format and its store, reached through
# the library's objects because their functions are not exported.
add_executable(names_unit_tests
  ${CMAKE_CURRENT_LIST_DIR}/names_identifier_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/names_format_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/names_store_test.cpp)
target_link_libraries(names_unit_tests PRIVATE zok_objects GTest::gtest_main Threads::Threads)
zok_discover_tests(names_unit_tests LABELS unit threads)
