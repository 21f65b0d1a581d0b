if(TARGET camctl_core)
  zok_add_gtest(camctl_unit_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/camctl_description_test.cpp
    LIBS camctl_core LABELS unit)
  target_compile_definitions(camctl_unit_tests PRIVATE
    CAMCTL_DESCRIPTIONS_DIR="${PROJECT_SOURCE_DIR}/tests/e2e/descriptions")
endif()
