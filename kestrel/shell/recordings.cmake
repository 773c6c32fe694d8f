# The recording list: its texts (no Qt, for every host), the list view with
# its commands, and its two dialogs.
add_library(kestrel_recording_texts STATIC ${CMAKE_CURRENT_LIST_DIR}/recording_texts.cpp)
target_include_directories(kestrel_recording_texts PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_recording_texts PUBLIC kestrel_engine PRIVATE kestrel_warnings)

add_library(kestrel_shell_recordings STATIC
  ${CMAKE_CURRENT_LIST_DIR}/recording_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recording_list.h
  ${CMAKE_CURRENT_LIST_DIR}/recording_messages.h
  ${CMAKE_CURRENT_LIST_DIR}/properties_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/properties_dialog.h
  ${CMAKE_CURRENT_LIST_DIR}/rename_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rename_dialog.h)
target_include_directories(kestrel_shell_recordings PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_shell_recordings
  PUBLIC kestrel_recording_texts kestrel_files Qt6::Widgets
  PRIVATE kestrel_warnings)
# The list draws its rows with the markup list control.
target_link_libraries(kestrel_shell_recordings PUBLIC kestrel_shell_markup kestrel_shell_skin)
