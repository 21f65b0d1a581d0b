# The engine's core and its C interface. The core's tests link the
# library's objects to reach it past libzok's hidden symbols.
add_executable(engine_core_tests ${CMAKE_CURRENT_LIST_DIR}/engine_core_test.cpp)
target_link_libraries(engine_core_tests PRIVATE zok_objects GTest::gtest_main)
gtest_discover_tests(engine_core_tests PROPERTIES LABELS unit)
add_executable(engine_resend_tests ${CMAKE_CURRENT_LIST_DIR}/engine_resend_test.cpp)
target_link_libraries(engine_resend_tests PRIVATE zok_objects GTest::gtest_main)
gtest_discover_tests(engine_resend_tests PROPERTIES LABELS unit)
add_executable(engine_integrity_tests ${CMAKE_CURRENT_LIST_DIR}/engine_integrity_test.cpp)
target_link_libraries(engine_integrity_tests PRIVATE zok_objects GTest::gtest_main)
gtest_discover_tests(engine_integrity_tests PROPERTIES LABELS unit)

add_executable(engine_api_tests ${CMAKE_CURRENT_LIST_DIR}/engine_api_test.cpp)
target_link_libraries(engine_api_tests PRIVATE zok gvsp GTest::gtest_main Threads::Threads)
zok_discover_tests(engine_api_tests LABELS unit threads)
add_executable(engine_init_tests ${CMAKE_CURRENT_LIST_DIR}/engine_init_test.cpp)
target_link_libraries(engine_init_tests PRIVATE zok GTest::gtest_main)
gtest_discover_tests(engine_init_tests PROPERTIES LABELS unit)
