# Tests of the Windows build that need programs of both systems: the Windows
# qtu-cli (and with it QZQTUApi.dll) under Wine, against the Linux
# qtu-unit-sim of the default build. Included last, once every target exists.
set(QTU_HOST_UNIT_SIM ${PROJECT_SOURCE_DIR}/build/bin/qtu-unit-sim CACHE FILEPATH
  "The Linux qtu-unit-sim that the Wine tests stream to")
if(QTU_BUILD_TESTS AND TARGET qtu-cli)
  foreach(case control stream errors ping mtu)
    add_test(NAME WineSim.${case}
      COMMAND ${PROJECT_SOURCE_DIR}/qtu-unit-api/tests/windows/wine_sim_e2e.sh ${case}
        ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:qtu-cli> ${QTU_HOST_UNIT_SIM})
    set_tests_properties(WineSim.${case} PROPERTIES
      TIMEOUT 120 SKIP_RETURN_CODE 77 LABELS "e2e;network;wine")
  endforeach()
  set_tests_properties(WineSim.mtu PROPERTIES LABELS "e2e;netns;wine")
endif()

# vtro-engine.exe with the Windows packages: the listing of
# vantro_qtu_parvel.pck, and the demo diagram streaming through the Windows
# unit client to the Linux qtu-unit-sim on 127.0.0.1.
if(QTU_BUILD_TESTS AND TARGET vtro-engine AND TARGET vantro_qtu_parvel AND TARGET vtro_testkit)
  foreach(case list demo)
    add_test(NAME WineEngine.${case}
      COMMAND ${PROJECT_SOURCE_DIR}/tools/engine/tests/windows/wine_engine_e2e.sh ${case}
        ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:vtro-engine> $<TARGET_FILE_DIR:vantro_qtu_parvel>
        ${QTU_HOST_UNIT_SIM})
    set_tests_properties(WineEngine.${case} PROPERTIES
      TIMEOUT 120 SKIP_RETURN_CODE 77 LABELS "e2e;wine")
  endforeach()
  set_tests_properties(WineEngine.demo PROPERTIES LABELS "e2e;network;wine")
endif()
