# The receivers and the engine end to end over loopback, fed by strobix (and
# by a small sender of the test's own for what strobix will not send).
add_executable(engine_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/engine_e2e_test.cpp)
target_link_libraries(engine_e2e_tests PRIVATE gvsp GTest::gtest_main)
target_compile_definitions(engine_e2e_tests PRIVATE
  STROBIX_PATH="$<TARGET_FILE:strobix>"
  PLAINGRAB_PATH="$<TARGET_FILE:plaingrab>"
  WORKERGRAB_PATH="$<TARGET_FILE:workergrab>")
add_dependencies(engine_e2e_tests strobix plaingrab workergrab zok)
zok_discover_tests(engine_e2e_tests LABELS net threads TIMEOUT 300)

add_executable(engine_resend_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/engine_resend_e2e_test.cpp)
target_link_libraries(engine_resend_e2e_tests PRIVATE zok gvsp GTest::gtest_main)
target_compile_definitions(engine_resend_e2e_tests PRIVATE STROBIX_PATH="$<TARGET_FILE:strobix>")
add_dependencies(engine_resend_e2e_tests strobix zok)
zok_discover_tests(engine_resend_e2e_tests LABELS net TIMEOUT 120)
