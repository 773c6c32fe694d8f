kestrel_add_test(app_start_tests
  SOURCES app_start_test.cpp
  LIBS kestrel_app_start plover kestrel_platform)

# The main window over a real recording session: keys, buttons, tabs, the
# Main menu, Exit (also with recordings in flight), Start while stopping, and
# whole replays of reference captures.
if(TARGET kestrel_shell_window)
  kestrel_add_gui_test(main_window_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/main_window_test.cpp
    LIBS kestrel_shell_window)
endif()

# The built program as a process: its command line, a later start that hands
# its file to a window in the test process, and a whole first start ended by
# SIGTERM.
if(TARGET kestrel_shell_window AND TARGET kestrel)
  kestrel_add_gui_test(kestrel_program_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/kestrel_program_test.cpp
    LIBS kestrel_shell_window kestrel_app_start)
  add_dependencies(kestrel_program_test kestrel)
endif()
