# Tests of the skin: the picture buttons, the skinned window, the About
# dialog and the compiled-in pictures.
if(NOT TARGET kestrel_shell_skin)
  return()
endif()

kestrel_add_gui_test(skin_test
  SOURCES skin_button_test.cpp skin_window_test.cpp skin_about_test.cpp skin_artwork_test.cpp
  LIBS kestrel_shell_skin)
target_compile_definitions(skin_test PRIVATE KESTREL_EXPECTED_VERSION="${PROJECT_VERSION}")

# The artwork test runs the skin maker to compare its output with the
# committed pictures. The maker's folder is added after the tests, so the
# dependency is made once the whole project is read.
function(kestrel_skin_test_needs_maker)
  if(TARGET skin-maker)
    add_dependencies(skin_test skin-maker)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL kestrel_skin_test_needs_maker)
