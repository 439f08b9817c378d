# The window's form, its title bar and the drawn images.
include_guard(GLOBAL)

pelmora_add_test(NAME test_form SOURCES test_form.cpp LABELS unit gui)
pelmora_use_form(test_form)

pelmora_add_test(NAME test_form_toolbar SOURCES test_form_toolbar.cpp LABELS unit gui)

pelmora_add_test(NAME test_form_images SOURCES test_form_images.cpp LABELS unit gui
  LIBS pelmora_drawn_images)
target_compile_definitions(test_form_images PRIVATE
  PELMORA_COMMITTED_IMAGES="${PROJECT_SOURCE_DIR}/src/resources/images")
