# The markup layout (no Qt: a fixed-pitch surface stands in for the
# painter) and the markup list control on the offscreen platform.
if(TARGET kestrel_markup_layout)
  kestrel_add_test(markup_layout_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/markup_layout_test.cpp
    LIBS kestrel_markup_layout)
endif()

if(TARGET kestrel_shell_markup)
  kestrel_add_gui_test(markup_list_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/markup_list_test.cpp
    LIBS kestrel_shell_markup)
endif()

if(TARGET kestrel_shell_markup)
  kestrel_add_gui_test(markup_painter_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/markup_painter_test.cpp
    LIBS kestrel_shell_markup)
endif()
