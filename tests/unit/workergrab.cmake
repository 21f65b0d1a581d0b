# workergrab's own setup steps, driven in-process with a fake clock. The
# library calls they link against come from the double and are not reached.
zok_add_gtest(workergrab_unit_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/workergrab_setup_test.cpp
  LIBS workergrab_core zok_double LABELS unit)
