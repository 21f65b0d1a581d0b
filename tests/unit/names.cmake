# Adapter identifiers, the names file format and its store, compiled from the
# library's sources because their functions are not exported.
set(names_library_sources
  ${PROJECT_SOURCE_DIR}/libzok/adapters_id.cpp
  ${PROJECT_SOURCE_DIR}/libzok/adapters_host.cpp
  ${PROJECT_SOURCE_DIR}/libzok/names_format.cpp
  ${PROJECT_SOURCE_DIR}/libzok/names_store.cpp)
add_executable(names_unit_tests
  ${CMAKE_CURRENT_LIST_DIR}/names_identifier_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/names_format_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/names_store_test.cpp
  ${names_library_sources})
target_include_directories(names_unit_tests PRIVATE ${PROJECT_SOURCE_DIR}/libzok)
target_link_libraries(names_unit_tests PRIVATE zok_interface GTest::gtest_main Threads::Threads)
zok_discover_tests(names_unit_tests LABELS unit threads)
