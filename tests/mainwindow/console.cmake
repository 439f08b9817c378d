# The console's HTML conversion: rules, markup filter, chunk boundaries; and its fuzz target.
pelmora_add_test(NAME test_console_html SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_console_html.cpp LABELS unit gui)
pelmora_add_fuzz(NAME fuzz_console SOURCE ${CMAKE_CURRENT_LIST_DIR}/fuzz_console.cpp
                 CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus_console)
