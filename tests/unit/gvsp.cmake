zok_add_gtest(gvsp_unit_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/gvsp_codec_test.cpp LIBS gvsp LABELS unit)
