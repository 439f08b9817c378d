# pelmora_add_test(NAME name SOURCES a.cpp b.cpp [LABELS unit gui ...] [TIMEOUT s] [ENV K=V ...])
# One line per test: a Qt Test executable on the core library, registered with CTest.
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
  set_tests_properties(${T_NAME} PROPERTIES
    LABELS "${labels}"
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;PELMORA_SIM_TIMING=instant;PELMORA_BRIDGE=sim;${T_ENV}")
endfunction()
