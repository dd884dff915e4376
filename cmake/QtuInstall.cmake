# Installation and packages. Included last by the top-level CMakeLists, so
# every target exists.
#
# Linux (GNUInstallDirs):
#   include/QZQTUApi.h
#   lib/libQZQTUApi.so
#   lib/vantro/vantro_qtu_parvel.pck     run path $ORIGIN/.. finds the library
#   bin/qtu-cli, qtu-unit-sim, qtu-records, vtro-engine
#   lib/cmake/QZQTUApi/                  find_package(QZQTUApi) -> QZQTUApi::QZQTUApi
#   lib/pkgconfig/QZQTUApi.pc
# Windows: the DLL, the package, qtu-cli.exe and the MinGW runtime DLLs side
# by side in bin/ (the way the two deliverables sit beside the engine), the
# import library and module-definition file in lib/.
#
# CPack: a Debian package of the Linux build (dependencies from
# dpkg-shlibdeps), a zip of the Windows build. scripts/package makes both.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QTU_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/QZQTUApi)
if(WIN32)
  set(QTU_INSTALL_PACKAGEDIR ${CMAKE_INSTALL_BINDIR})
else()
  set(QTU_INSTALL_PACKAGEDIR ${CMAKE_INSTALL_LIBDIR}/vantro)
endif()

if(TARGET QZQTUApi)
  target_include_directories(QZQTUApi PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(QZQTUApi PROPERTIES
    PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/qtu-unit-api/include/QZQTUApi.h
    EXPORT_NAME QZQTUApi)
  install(TARGETS QZQTUApi EXPORT QZQTUApiTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
  if(WIN32)
    install(FILES ${CMAKE_BINARY_DIR}/lib/QZQTUApi.def DESTINATION ${CMAKE_INSTALL_LIBDIR}
      COMPONENT development)
  endif()

  install(EXPORT QZQTUApiTargets NAMESPACE QZQTUApi:: DESTINATION ${QTU_INSTALL_CMAKEDIR}
    COMPONENT development)
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QZQTUApiConfig.cmake.in
    ${CMAKE_BINARY_DIR}/QZQTUApiConfig.cmake INSTALL_DESTINATION ${QTU_INSTALL_CMAKEDIR})
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/QZQTUApiConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/QZQTUApiConfig.cmake ${CMAKE_BINARY_DIR}/QZQTUApiConfigVersion.cmake
    DESTINATION ${QTU_INSTALL_CMAKEDIR} COMPONENT development)

  # pkg-config: paths relative to the file, so a moved prefix still works.
  file(RELATIVE_PATH qtu_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/QZQTUApi.pc.in ${CMAKE_BINARY_DIR}/QZQTUApi.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/QZQTUApi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT development)
endif()

if(TARGET vantro_qtu_parvel)
  # The package finds the library one folder up, as it does beside the engine.
  set_target_properties(vantro_qtu_parvel PROPERTIES INSTALL_RPATH "$ORIGIN;$ORIGIN/..")
  install(TARGETS vantro_qtu_parvel
    RUNTIME DESTINATION ${QTU_INSTALL_PACKAGEDIR} COMPONENT runtime
    LIBRARY DESTINATION ${QTU_INSTALL_PACKAGEDIR} COMPONENT runtime)
endif()

# The Windows zip also holds the testkit package beside vtro-engine.exe, so
# that diagrams with test sources run from the unpacked zip.
if(WIN32 AND TARGET vtro_testkit)
  install(TARGETS vtro_testkit RUNTIME DESTINATION ${QTU_INSTALL_PACKAGEDIR} COMPONENT runtime
    LIBRARY DESTINATION ${QTU_INSTALL_PACKAGEDIR} COMPONENT runtime)
endif()

foreach(tool qtu-cli qtu-unit-sim qtu-records vtro-engine)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()

if(WIN32 AND CMAKE_CROSSCOMPILING)
  # The MinGW runtime DLLs that the DLLs and programs import.
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    find_file(qtu_runtime_${dll} ${dll} PATHS ${QTU_MINGW_RUNTIME_DIRS} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT qtu_runtime_${dll})
      message(FATAL_ERROR "MinGW runtime ${dll} not found in ${QTU_MINGW_RUNTIME_DIRS}")
    endif()
    install(FILES ${qtu_runtime_${dll}} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    # Debian ships them with debug information (libstdc++ is 23 MB so).
    install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${dll}\")" COMPONENT runtime)
  endforeach()
endif()

# Packages.
set(CPACK_PACKAGE_NAME qtu-feeder)
set(CPACK_PACKAGE_VENDOR "QTU feeder developers")
set(CPACK_PACKAGE_CONTACT "QTU feeder developers <qtu-feeder@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "QZQTUApi library and the vantro_qtu_parvel package that feed camera data into a QTU Unit")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The package and the tools link the library of this same package.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
endif()
include(CPack)

# The installed copy used from another project (Linux builds).
if(QTU_BUILD_TESTS AND NOT WIN32 AND NOT QTU_SANITIZE AND TARGET QZQTUApi AND TARGET qtu-unit-sim)
  add_test(NAME Install.OutOfTreeProgramStreamsToTheInstalledUnit
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/tests/install_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
  set_tests_properties(Install.OutOfTreeProgramStreamsToTheInstalledUnit PROPERTIES
    TIMEOUT 180 LABELS "e2e;network")
endif()
