# jexo_add_gtest(NAME SOURCES ... LIBS ... [CONCURRENT] [LABELS ...] [TIMEOUT s])
#
# Every GoogleTest suite is one CTest test. In the ThreadSanitizer build only suites
# marked CONCURRENT are built and run: the rest has nothing for TSan to find.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

function(jexo_add_gtest name)
  cmake_parse_arguments(ARG "CONCURRENT" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(JEXO_FUZZ OR (JEXO_SANITIZE STREQUAL "thread" AND NOT ARG_CONCURRENT))
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "JEXO_BIN_DIR=${CMAKE_BINARY_DIR}/bin;JEXO_TEST_BIN_DIR=${CMAKE_BINARY_DIR}/tests")
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()

# In the fuzz flavour (JEXO_FUZZ=ON, clang) only libFuzzer targets are built: each one adds
# itself to the 'fuzzers' target and registers a bounded CTest run labelled 'fuzz'.
if(JEXO_FUZZ)
  add_custom_target(fuzzers)
endif()

# jexo_add_fuzzer(NAME SOURCES ... LIBS ... CORPUS dir SECONDS n)
function(jexo_add_fuzzer name)
  if(NOT JEXO_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "CORPUS;SECONDS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  add_dependencies(fuzzers ${name})
  if(NOT ARG_SECONDS)
    set(ARG_SECONDS 60)
  endif()
  # Work on a copy of the seed corpus so that the run never writes into the source tree.
  set(work ${CMAKE_BINARY_DIR}/fuzz/${name}-corpus)
  add_test(NAME ${name}
    COMMAND sh -c "rm -rf '${work}' && cp -r '${ARG_CORPUS}' '${work}' && exec '$<TARGET_FILE:${name}>' -max_total_time=${ARG_SECONDS} -print_final_stats=1 '${work}'")
  math(EXPR limit "${ARG_SECONDS} + 120")
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT ${limit})
endfunction()
