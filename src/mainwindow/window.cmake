target_sources(pelmora_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/orbalofirmwareloader.h
  ${CMAKE_CURRENT_LIST_DIR}/orbalofirmwareloader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window_console.cpp
)
