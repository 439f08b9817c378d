# The console's conversion of board output and messages to HTML, and its rendering helpers.
target_sources(pelmora_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/console_html.h
  ${CMAKE_CURRENT_LIST_DIR}/console_html.cpp
)
