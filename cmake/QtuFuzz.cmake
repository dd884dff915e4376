# Fuzz targets, one call per target:
#
#   qtu_add_fuzzer(NAME SOURCES a.cpp... [LIBS lib...] [INCLUDES dir...] [INSTRUMENT lib...])
#
# The fuzz preset (QTU_FUZZ, clang) links build-fuzz/bin/fuzz_NAME with
# libFuzzer; INSTRUMENT names the libraries whose own code gives coverage
# feedback (compiled with -fsanitize=fuzzer-no-link). Every other build with
# tests links the same sources with a small driver instead
# (build/tests/fuzz_replay_NAME) and registers the test
# Fuzz.NAME.CorpusReplays, which runs every input of fuzz/corpus/NAME once:
# the corpus, with the inputs that once failed, is a regression suite of the
# plain and sanitizer builds too.
set(QTU_FUZZ_CORPUS_ROOT ${PROJECT_SOURCE_DIR}/fuzz/corpus)

function(qtu_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS;INCLUDES;INSTRUMENT" ${ARGN})
  if(QTU_FUZZ)
    set(exe fuzz_${name})
    add_executable(${exe} ${F_SOURCES})
    target_compile_options(${exe} PRIVATE -fsanitize=fuzzer)
    target_link_options(${exe} PRIVATE -fsanitize=fuzzer)
    foreach(lib IN LISTS F_INSTRUMENT)
      target_compile_options(${lib} PRIVATE -fsanitize=fuzzer-no-link)
    endforeach()
  elseif(QTU_BUILD_TESTS AND NOT WIN32)
    set(exe fuzz_replay_${name})
    add_executable(${exe} ${F_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/replay/replay_main.cpp)
    set_target_properties(${exe} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QTU_TEST_OUTPUT_DIRECTORY})
    math(EXPR timeout "60 * ${QTU_TEST_TIMEOUT_MULTIPLIER}")
    add_test(NAME Fuzz.${name}.CorpusReplays COMMAND ${exe} ${QTU_FUZZ_CORPUS_ROOT}/${name})
    set_tests_properties(Fuzz.${name}.CorpusReplays PROPERTIES TIMEOUT ${timeout} LABELS parser)
  else()
    return()
  endif()
  target_include_directories(${exe} PRIVATE ${F_INCLUDES})
  target_link_libraries(${exe} PRIVATE ${F_LIBS})
endfunction()
