# tessaro_add_test(NAME name SOURCES a_test.cpp ... LIBS tessaro::x ...)
# One GoogleTest binary per subsystem, each test case registered with CTest.
function(tessaro_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT TESSARO_BUILD_TESTS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  if(TESSARO_SANITIZE STREQUAL "tsan")
    target_sources(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/tsan_suppressions.cpp)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  # Tests write options and records with designated initializers that leave members to their
  # defaults; GCC 12 warns about each omitted member even though it has a default.
  target_compile_options(${T_NAME} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-missing-field-initializers>)
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${T_NAME};${T_LABELS}")
endfunction()

# tessaro_add_fuzzer(NAME name SOURCES f.cpp LIBS ...): a libFuzzer executable.
function(tessaro_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY TESSARO_FUZZERS ${F_NAME})
endfunction()
