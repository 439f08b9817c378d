pelmora_add_test(NAME test_window SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_window.cpp
  LABELS gui e2e thread TIMEOUT 300)
