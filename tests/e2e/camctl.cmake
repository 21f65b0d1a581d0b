# camctl against a scripted device on loopback.
add_executable(camctl_fake_device_tests ${CMAKE_CURRENT_LIST_DIR}/camctl_fake_device_test.cpp)
target_link_libraries(camctl_fake_device_tests PRIVATE gvcp gvsp GTest::gtest_main Threads::Threads)
target_compile_definitions(camctl_fake_device_tests PRIVATE CAMCTL_PATH="$<TARGET_FILE:camctl>"
  STROBIX_PATH="$<TARGET_FILE:strobix>")
add_dependencies(camctl_fake_device_tests camctl)
gtest_discover_tests(camctl_fake_device_tests PROPERTIES LABELS net TIMEOUT 120)
