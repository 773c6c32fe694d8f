# The recording list: its texts without Qt, its dialogs, and the list itself
# over the markup list control.
kestrel_add_test(recording_texts_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/recording_texts_test.cpp
  LIBS kestrel_recording_texts)
set_target_properties(recording_texts_test PROPERTIES AUTOMOC OFF)

if(TARGET kestrel_shell_recordings)
  kestrel_add_gui_test(recording_dialogs_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/recording_dialogs_test.cpp
    LIBS kestrel_shell_recordings)
endif()

if(TARGET kestrel_shell_recordings AND TARGET kestrel_shell_markup)
  kestrel_add_gui_test(recording_list_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/recording_list_test.cpp
    LIBS kestrel_shell_recordings)
  # With the skin's pictures in, rows show the state icons on their own.
  if(TARGET kestrel_shell_skin)
    target_link_libraries(recording_list_test PRIVATE kestrel_shell_skin)
    target_compile_definitions(recording_list_test PRIVATE KESTREL_TEST_WITH_SKINS=1)
  endif()
endif()
