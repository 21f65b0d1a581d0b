# The receivers and the engine end to end over loopback, fed by strobix (and
# by a small sender of the test's own for what strobix will not send).
foreach(name engine_e2e engine_integrity_e2e)
  zok_add_gtest(${name}_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/${name}_test.cpp LIBS gvsp
    LABELS net threads TIMEOUT 300)
  target_compile_definitions(${name}_tests PRIVATE
    STROBIX_PATH="$<TARGET_FILE:strobix>"
    PLAINGRAB_PATH="$<TARGET_FILE:plaingrab>"
    WORKERGRAB_PATH="$<TARGET_FILE:workergrab>")
  add_dependencies(${name}_tests strobix plaingrab workergrab zok)
endforeach()

zok_add_gtest(engine_resend_e2e_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_resend_e2e_test.cpp
  LIBS zok gvsp LABELS net TIMEOUT 120)
target_compile_definitions(engine_resend_e2e_tests PRIVATE STROBIX_PATH="$<TARGET_FILE:strobix>")
add_dependencies(engine_resend_e2e_tests strobix zok)
