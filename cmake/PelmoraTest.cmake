# pelmora_add_test(NAME name SOURCES a.cpp b.cpp [LABELS unit gui ...] [TIMEOUT s] [ENV K=V ...])
# One line per test: a Qt Test executable on the core library, registered with CTest.
# Each test has a home of its own: Qt's test-mode settings folder lives under it, and two
# tests that create and delete that folder must not race when CTest runs them in parallel.
function(pelmora_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LABELS;ENV;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE pelmora_core pelmora_test_support Qt5::Test ${T_LIBS})
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(labels ${T_LABELS})
  if(PELMORA_SANITIZE)
    list(APPEND labels sanitize)
  endif()
  if(PELMORA_TSAN)
    list(APPEND labels tsan)
  endif()
  # A folder per test for the lock files of open simulated bridges: tests running side by side
  # (and other builds' tests) must not see each other's boards as busy. Not TMPDIR: sockets
  # made in a temporary folder this deep would pass the length a socket path may have.
  set(locks ${CMAKE_CURRENT_BINARY_DIR}/locks/${T_NAME})
  file(MAKE_DIRECTORY ${locks})
  set_tests_properties(${T_NAME} PROPERTIES
    LABELS "${labels}"
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;PELMORA_SIM_TIMING=instant;PELMORA_BRIDGE=sim;PELMORA_SIM_LOCK_DIR=${locks};HOME=${CMAKE_CURRENT_BINARY_DIR}/home-${T_NAME};${T_ENV}")
endfunction()

# pelmora_add_fuzz(NAME name SOURCE fuzz_x.cpp CORPUS dir)
# The target runs under CTest through a plain driver (seeds plus deterministic mutations);
# with clang it is also built as a libFuzzer binary NAME_libfuzzer for long runs (bench/fuzz.sh).
function(pelmora_add_fuzz)
  cmake_parse_arguments(F "" "NAME;SOURCE;CORPUS" "" ${ARGN})
  add_executable(${F_NAME} ${F_SOURCE} ${PROJECT_SOURCE_DIR}/tests/support/fuzz_driver.cpp)
  target_link_libraries(${F_NAME} PRIVATE pelmora_core)
  target_include_directories(${F_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME ${F_NAME} COMMAND ${F_NAME} ${F_CORPUS} 20000)
  set_tests_properties(${F_NAME} PROPERTIES LABELS "fuzz" TIMEOUT 120
                       ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  if(CMAKE_CXX_COMPILER_ID MATCHES Clang)
    add_executable(${F_NAME}_libfuzzer ${F_SOURCE})
    target_compile_options(${F_NAME}_libfuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${F_NAME}_libfuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${F_NAME}_libfuzzer PRIVATE pelmora_core)
    target_include_directories(${F_NAME}_libfuzzer PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  endif()
endfunction()
