# Adapter identifiers, the names file format and its store, reached through
# the library's objects because their functions are not exported.
zok_add_gtest(names_unit_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/names_identifier_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/names_format_test.cpp ${CMAKE_CURRENT_LIST_DIR}/names_store_test.cpp
  LIBS zok_objects Threads::Threads LABELS unit threads)
