# niclabel and the adapter names against the real library, on interfaces of
# the tests' own network namespace, with the names file in a temporary state
# directory.
zok_add_gtest(niclabel_e2e_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/niclabel_test.cpp LIBS zok
  LABELS net OWN_MAIN)
target_compile_definitions(niclabel_e2e_tests PRIVATE
  NICLABEL_PATH="$<TARGET_FILE:niclabel>"
  ZOK_LIBRARY_DIR="$<TARGET_FILE_DIR:zok>")
add_dependencies(niclabel_e2e_tests niclabel)
# A sanitizer owns malloc itself, so the out-of-memory shim runs only in
# plain builds.
if(NOT ZOK_SANITIZE)
  add_library(niclabel_malloc_shim MODULE ${CMAKE_CURRENT_LIST_DIR}/niclabel_malloc_shim.c)
  target_compile_definitions(niclabel_e2e_tests PRIVATE
    NICLABEL_MALLOC_SHIM="$<TARGET_FILE:niclabel_malloc_shim>")
  add_dependencies(niclabel_e2e_tests niclabel_malloc_shim)
endif()
