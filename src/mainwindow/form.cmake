# The window's form (orbalofirmwareloader.ui, turned into ui_orbalofirmwareloader.h by AUTOUIC)
# and its title bar.
include_guard(GLOBAL)

target_sources(pelmora_core PRIVATE
  orbalofirmwareloader.ui
  vx_maintoolbar.h
  vx_maintoolbar.cpp
)
# Sources of the core library outside this folder may include the form too.
set_property(TARGET pelmora_core APPEND PROPERTY AUTOUIC_SEARCH_PATHS ${CMAKE_CURRENT_SOURCE_DIR})

# AUTOUIC generates the header per target, into that target's own build folder, and refuses an
# include whose .ui it cannot find; a target outside the core library that includes
# "ui_orbalofirmwareloader.h" (a test, a tool) calls this to be pointed at the form.
function(pelmora_use_form target)
  set_property(TARGET ${target} APPEND PROPERTY AUTOUIC_SEARCH_PATHS
               ${PROJECT_SOURCE_DIR}/src/mainwindow)
endfunction()
