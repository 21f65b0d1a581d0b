# The engine's core and its C interface. The core's tests link the
# library's objects to reach it past libzok's hidden symbols.
foreach(name engine_core engine_resend engine_integrity engine_frame)
  zok_add_gtest(${name}_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/${name}_test.cpp LIBS zok_objects
    LABELS unit)
endforeach()
# These open streams on loopback sockets (and one case forks).
zok_add_gtest(engine_init_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_init_test.cpp LIBS zok
  LABELS net)
zok_add_gtest(engine_api_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_api_test.cpp
  LIBS zok gvsp Threads::Threads LABELS net threads)
