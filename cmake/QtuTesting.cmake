# Test helpers shared by every folder.
#
#   qtu_add_gtest(NAME SOURCES a.cpp b.cpp LIBS lib... [LABELS l...] [TIMEOUT s])
#
# builds a GoogleTest program into build/tests and registers each of its cases
# with CTest. Labels in use: "network" (loopback sockets), "netns" (creates
# network namespaces; needs root), "concurrency" (worth a ThreadSanitizer run),
# "parser" (worth an AddressSanitizer run), "e2e" (runs tools end to end).
if(QTU_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

function(qtu_add_gtest name)
  if(NOT QTU_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  math(EXPR timeout "${T_TIMEOUT} * ${QTU_TEST_TIMEOUT_MULTIPLIER}")
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QTU_TEST_OUTPUT_DIRECTORY})
  # Several labels must reach CTest as one list value, not as extra properties.
  string(REPLACE ";" "\\;" labels "${T_LABELS}")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${timeout} LABELS "${labels}")
endfunction()
