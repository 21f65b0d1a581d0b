zok_add_gtest(gvcp_unit_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/gvcp_codec_test.cpp LIBS gvcp
  LABELS unit)
# The outside check of the built bytes; skips, saying so, without tshark,
# which it starts.
zok_add_gtest(gvcp_tshark_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/gvcp_tshark_test.cpp LIBS gvcp
  LABELS fork)
