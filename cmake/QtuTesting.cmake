# Test helpers shared by every folder.
#
#   qtu_add_gtest(NAME SOURCES a.cpp b.cpp LIBS lib... [LABELS l...] [TIMEOUT s])
#
# builds a GoogleTest program into build/tests and registers each of its cases
# with CTest. Labels in use: "network" (loopback sockets), "netns" (creates
# network namespaces; needs root), "concurrency" (worth a ThreadSanitizer run),
# "parser" (worth an AddressSanitizer run), "e2e" (runs tools end to end).
# Each labelled program also joins the build target tests_<label> (made by
# qtu_add_label_targets at the end of the top-level CMakeLists.txt), so that
# a stage builds only the programs it runs: `--target tests_concurrency`.
set(QTU_TEST_LABELS network netns concurrency parser e2e)
if(QTU_BUILD_TESTS)
  enable_testing()
  if(CMAKE_CROSSCOMPILING AND WIN32)
    # No MinGW build of GoogleTest in Debian: build the sources that
    # libgtest-dev installs, statically, into each test program.
    set(gtest_source /usr/src/googletest)
    if(NOT EXISTS ${gtest_source}/CMakeLists.txt)
      message(FATAL_ERROR "GoogleTest sources missing: apt-get install libgtest-dev libgmock-dev")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    # Its CMakeLists defines the GTest:: names as aliases.
    add_subdirectory(${gtest_source} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest REQUIRED)
  endif()
  include(GoogleTest)
  # GoogleTest's and GoogleMock's headers (and, in the MinGW build, the POSIX
  # shims every test program is given), compiled once and reused by every
  # test program: parsing them took about 3 of the 4 CPU seconds of a small
  # test file, and there are some 80 of them in each build. GCC only; it
  # reads the headers themselves where a program's flags do not fit the
  # precompiled ones (-Winvalid-pch says so).
  set(QTU_TEST_PCH OFF)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set(QTU_TEST_PCH ON)
    set(pch_headers <gtest/gtest.h> <gmock/gmock.h>)
    if(WIN32)
      list(PREPEND pch_headers ${PROJECT_SOURCE_DIR}/cmake/windows/posix_test_compat.h)
    endif()
    # A program, not a library, so that it is compiled as the test programs
    # are (-fPIE, not -fPIC); it does nothing and is not a test.
    add_executable(qtu_test_pch ${PROJECT_SOURCE_DIR}/cmake/test_pch.cpp)
    target_link_libraries(qtu_test_pch PRIVATE GTest::gmock GTest::gtest)
    set_target_properties(qtu_test_pch PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/CMakeFiles)
    target_precompile_headers(qtu_test_pch PRIVATE ${pch_headers})
  endif()
endif()

# Test programs that the Windows build does not build, with the reason. Each
# one is registered as a single skipped test that prints its reason, so a
# Windows run lists what it left out.
set(QTU_WINDOWS_SKIPPED_TESTS
  "qtuapi_core_platform_test=checks the POSIX socket layer (errno codes, IP_MTU_DISCOVER, /proc); qtuapi_win_platform_test checks the Windows layer"
  "qtuapi_core_reachability_test=its echo peer is a raw POSIX ICMP socket; the Windows echo is checked in qtuapi_win_platform_test"
  "qtuapi_core_registry_test=its unit peer is written with POSIX sockets (core_test_support.h)"
  "qtuapi_core_receiver_test=its unit peer is written with POSIX sockets and it measures CPU time with getrusage"
  "qtuapi_core_receiver_scale_test=its unit peer is written with POSIX sockets (core_test_support.h); the Windows socket window is checked in qtuapi_core_rotation_test"
  "qtuapi_core_concurrency_test=its unit peer is written with POSIX sockets (core_test_support.h)"
  "qtuapi_core_netns_test=creates Linux network namespaces"
  "qtuapi_proto_api_test=its fake unit is written with POSIX sockets (fake_unit.h); the Wine run streams to qtu-unit-sim instead"
  "qtuapi_proto_concurrency_test=its fake unit is written with POSIX sockets (fake_unit.h)"
  "qtuapi_proto_mtu_test=creates Linux network namespaces"
  "qtuapi_proto_sender_test=checks the POSIX sender's modes (sendmmsg, UDP segmentation offload)"
  "vtro_framework_concurrency_tests=its priority cases read Linux nice values (getpriority)"
  "vtro_package_file_tests=loads the package with dlopen; the Windows package is loaded by vtro_win_package_load_test"
  "vtro_engine_bad_input_test=damages ELF packages and uses FIFOs and file modes; the PE check of damaged packages is in vtro_engine_parts_test")

function(qtu_add_gtest name)
  if(NOT QTU_BUILD_TESTS)
    return()
  endif()
  if(WIN32)
    foreach(entry IN LISTS QTU_WINDOWS_SKIPPED_TESTS)
      string(FIND "${entry}" "=" at)
      string(SUBSTRING "${entry}" 0 ${at} skipped)
      if(skipped STREQUAL name)
        math(EXPR at "${at} + 1")
        string(SUBSTRING "${entry}" ${at} -1 reason)
        add_test(NAME ${name}.NotBuiltForWindows
          COMMAND ${CMAKE_COMMAND} -E echo "SKIPPED on Windows: ${name} ${reason}")
        set_tests_properties(${name}.NotBuiltForWindows PROPERTIES
          SKIP_REGULAR_EXPRESSION "SKIPPED on Windows")
        return()
      endif()
    endforeach()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  math(EXPR timeout "${T_TIMEOUT} * ${QTU_TEST_TIMEOUT_MULTIPLIER}")
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest GTest::gtest_main)
  foreach(label IN LISTS T_LABELS)
    set_property(GLOBAL APPEND PROPERTY QTU_LABEL_TARGETS_${label} ${name})
  endforeach()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QTU_TEST_OUTPUT_DIRECTORY})
  if(QTU_TEST_PCH)
    target_precompile_headers(${name} REUSE_FROM qtu_test_pch)
    # Through a precompiled header GCC 12 no longer treats libstdc++'s code
    # as a system header's, and shows its known false warnings on the
    # memcpy of std::string concatenation (GCC bugs 105651, 105545) in the
    # test files.
    target_compile_options(${name} PRIVATE -Winvalid-pch -Wno-array-bounds -Wno-stringop-overflow
      -Wno-stringop-overread)
  elseif(WIN32)
    target_compile_options(${name} PRIVATE -include ${PROJECT_SOURCE_DIR}/cmake/windows/posix_test_compat.h)
  endif()
  # Cross builds list the cases when the tests run (under the emulator), so
  # building needs no Wine.
  set(discovery POST_BUILD)
  if(CMAKE_CROSSCOMPILING)
    set(discovery PRE_TEST)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE ${discovery}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${timeout})
  # The labels are set by a file CTest reads after the discovered tests: a
  # list passed through PROPERTIES arrives split, so that only its first
  # label stays a label.
  if(T_LABELS)
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${labels_file}
      "if(NOT \"\${${name}_TESTS}\" STREQUAL \"\")\n"
      "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS [==[${T_LABELS}]==])\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
  endif()
endfunction()

# tests_<label>: every test program carrying the label, with what each one
# declares it needs (add_dependencies on the tools and packages it runs).
function(qtu_add_label_targets)
  if(NOT QTU_BUILD_TESTS)
    return()
  endif()
  foreach(label IN LISTS QTU_TEST_LABELS)
    get_property(programs GLOBAL PROPERTY QTU_LABEL_TARGETS_${label})
    add_custom_target(tests_${label})
    if(programs)
      add_dependencies(tests_${label} ${programs})
    endif()
  endforeach()
endfunction()
