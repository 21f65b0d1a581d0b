zok_add_gtest(strobix_e2e_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/strobix_test.cpp LIBS gvsp
  LABELS net)
# The outside check of the wire bytes; skips (saying so) without tshark or
# without the right to capture on lo.
zok_add_gtest(strobix_tshark_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/strobix_tshark_test.cpp
  LIBS gvsp LABELS net TIMEOUT 300)
foreach(name strobix_e2e_tests strobix_tshark_tests)
  target_compile_definitions(${name} PRIVATE STROBIX_PATH="$<TARGET_FILE:strobix>")
  add_dependencies(${name} strobix)
endforeach()
