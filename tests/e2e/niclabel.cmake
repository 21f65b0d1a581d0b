# niclabel and the adapter names against the real library, on this host's
# interfaces, with the names file in a temporary state directory.
if(NOT TARGET zok OR NOT TARGET niclabel)
  return()
endif()
add_executable(niclabel_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/niclabel_test.cpp)
target_link_libraries(niclabel_e2e_tests PRIVATE zok GTest::gtest)
target_compile_definitions(niclabel_e2e_tests PRIVATE
  NICLABEL_PATH="$<TARGET_FILE:niclabel>"
  ZOK_LIBRARY_DIR="$<TARGET_FILE_DIR:zok>")
add_dependencies(niclabel_e2e_tests niclabel)
gtest_discover_tests(niclabel_e2e_tests PROPERTIES LABELS net)
