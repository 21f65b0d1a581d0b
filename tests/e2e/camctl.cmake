if(TARGET camctl_core)
  # camctl against a scripted device on loopback; its snaps are read back
  # with libpng.
  find_package(PNG REQUIRED)
  zok_add_gtest(camctl_fake_device_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/camctl_fake_device_test.cpp
    LIBS gvcp gvsp PNG::PNG Threads::Threads LABELS net TIMEOUT 120)
  target_compile_definitions(camctl_fake_device_tests PRIVATE CAMCTL_PATH="$<TARGET_FILE:camctl>"
    STROBIX_PATH="$<TARGET_FILE:strobix>"
    CAMCTL_DESCRIPTIONS_DIR="${CMAKE_CURRENT_LIST_DIR}/descriptions")
  add_dependencies(camctl_fake_device_tests camctl)

  # Against the simulated camera on a network namespace: root, namespaces and
  # aravis-tools needed, else SKIPPED (77). Each scenario has its own network,
  # so they may run side by side.
  foreach(scenario features stream rival vanish snap)
    add_test(NAME camctl_camera_${scenario}
      COMMAND ${CMAKE_CURRENT_LIST_DIR}/camctl_camera_test.sh ${scenario} $<TARGET_FILE:camctl>
        $<TARGET_FILE:plaingrab> $<TARGET_FILE:workergrab> ${PROJECT_SOURCE_DIR}/scripts/testnet.sh)
    set_tests_properties(camctl_camera_${scenario} PROPERTIES LABELS camera SKIP_RETURN_CODE 77
      TIMEOUT 180 RESOURCE_LOCK adapters)
  endforeach()
endif()
