# The player over a real libmpv (no picture, no sound) playing media that
# tests/shell/media/make-test-media.sh makes with ffmpeg at test time; the
# player window and its dialogs on the offscreen platform.
if(NOT TARGET kestrel_shell_player)
  return()
endif()

kestrel_add_gui_test(player_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/player_media_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/player_window_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/player_dialogs_test.cpp
  LIBS kestrel_shell_player)
target_compile_definitions(player_test PRIVATE
  KESTREL_TEST_MEDIA_SCRIPT="${CMAKE_CURRENT_LIST_DIR}/media/make-test-media.sh")
