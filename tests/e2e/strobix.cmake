add_executable(strobix_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/strobix_test.cpp)
target_link_libraries(strobix_e2e_tests PRIVATE gvsp GTest::gtest_main)
target_compile_definitions(strobix_e2e_tests PRIVATE STROBIX_PATH="$<TARGET_FILE:strobix>")
add_dependencies(strobix_e2e_tests strobix)
gtest_discover_tests(strobix_e2e_tests PROPERTIES LABELS net)

# The outside check of the wire bytes; skips (saying so) without tshark or
# without the right to capture on lo.
add_executable(strobix_tshark_tests ${CMAKE_CURRENT_LIST_DIR}/strobix_tshark_test.cpp)
target_link_libraries(strobix_tshark_tests PRIVATE gvsp GTest::gtest_main)
target_compile_definitions(strobix_tshark_tests PRIVATE STROBIX_PATH="$<TARGET_FILE:strobix>")
add_dependencies(strobix_tshark_tests strobix)
gtest_discover_tests(strobix_tshark_tests PROPERTIES LABELS net TIMEOUT 300)
