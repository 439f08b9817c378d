# The window's form, its title bar and the drawn images.
include_guard(GLOBAL)

pelmora_add_test(NAME test_form SOURCES test_form.cpp LABELS unit gui LIBS pelmora_drawn_images)
pelmora_use_form(test_form)
target_compile_definitions(test_form PRIVATE
  PELMORA_COMMITTED_IMAGES="${PROJECT_SOURCE_DIR}/src/resources/images")
