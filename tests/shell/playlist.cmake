# The playlist: playlist.dat without Qt, and the playlist view over the
# markup list control on the offscreen platform.
if(TARGET kestrel_playlist_file)
  kestrel_add_test(playlist_file_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/playlist_file_test.cpp
    LIBS kestrel_playlist_file)
  set_target_properties(playlist_file_test PROPERTIES AUTOMOC OFF)
endif()

if(TARGET kestrel_shell_playlist)
  kestrel_add_gui_test(playlist_view_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/playlist_view_test.cpp
    LIBS kestrel_shell_playlist)
endif()
