# The description evaluator under libFuzzer; the camctl sources it needs are
# compiled in so that coverage reaches them.
if(TARGET camctl_core)
  find_package(pugixml REQUIRED)
  add_executable(camctl_description_fuzz ${CMAKE_CURRENT_LIST_DIR}/camctl_description_fuzz.cpp
    ${PROJECT_SOURCE_DIR}/camctl/description.cpp ${PROJECT_SOURCE_DIR}/camctl/description_write.cpp
    ${PROJECT_SOURCE_DIR}/camctl/description_features.cpp ${PROJECT_SOURCE_DIR}/camctl/description_nodes.cpp
    ${PROJECT_SOURCE_DIR}/camctl/description_registers.cpp ${PROJECT_SOURCE_DIR}/camctl/formula.cpp)
  target_include_directories(camctl_description_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/camctl)
  target_link_libraries(camctl_description_fuzz PRIVATE pugixml::pugixml)
  zok_fuzz(camctl_description_fuzz fuzzer 4096 -timeout=10)
endif()
