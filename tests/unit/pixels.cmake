# The conversions, checked through the PNG writer camctl uses.
if(TARGET camctl_core)
  zok_add_gtest(pixels_unit_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/pixels_test.cpp
    LIBS pixels camctl_core LABELS unit)
endif()
