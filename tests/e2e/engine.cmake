# The receivers and the engine end to end over loopback, fed by strobix (and
# by a small sender of the test's own for what strobix will not send).
foreach(name engine_e2e engine_integrity_e2e)
  add_executable(${name}_tests ${CMAKE_CURRENT_LIST_DIR}/${name}_test.cpp)
  target_link_libraries(${name}_tests PRIVATE gvsp GTest::gtest_main)
  target_compile_definitions(${name}_tests PRIVATE
    STROBIX_PATH="$<TARGET_FILE:strobix>"
    PLAINGRAB_PATH="$<TARGET_FILE:plaingrab>"
    WORKERGRAB_PATH="$<TARGET_FILE:workergrab>")
  add_dependencies(${name}_tests strobix plaingrab workergrab zok)
  zok_discover_tests(${name}_tests LABELS net threads TIMEOUT 300)
endforeach()

add_executable(engine_resend_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/engine_resend_e2e_test.cpp)
target_link_libraries(engine_resend_e2e_tests PRIVATE zok gvsp GTest::gtest_main)
target_compile_definitions(engine_resend_e2e_tests PRIVATE STROBIX_PATH="$<TARGET_FILE:strobix>")
add_dependencies(engine_resend_e2e_tests strobix zok)
zok_discover_tests(engine_resend_e2e_tests LABELS net TIMEOUT 120)
