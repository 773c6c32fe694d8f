# The player: the component over libmpv (no widgets), the video view that
# draws through mpv's render API, and the player window with its picture and
# Play URL dialogs.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(MPV QUIET IMPORTED_TARGET mpv)
endif()
if(NOT MPV_FOUND)
  message(STATUS "kestrel player not built: libmpv is missing (apt-get install libmpv-dev)")
  return()
endif()
find_package(Qt6 6.2 QUIET COMPONENTS OpenGLWidgets)
if(NOT TARGET Qt6::OpenGLWidgets)
  message(STATUS "kestrel player not built: Qt 6 OpenGL widgets are missing (apt-get install libqt6opengl6-dev)")
  return()
endif()
if(NOT TARGET kestrel_shell_skin)
  return()
endif()

add_library(kestrel_shell_player STATIC
  ${CMAKE_CURRENT_LIST_DIR}/media_player.cpp
  ${CMAKE_CURRENT_LIST_DIR}/media_player.h
  ${CMAKE_CURRENT_LIST_DIR}/video_view.cpp
  ${CMAKE_CURRENT_LIST_DIR}/video_view.h
  ${CMAKE_CURRENT_LIST_DIR}/picture_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/picture_dialog.h
  ${CMAKE_CURRENT_LIST_DIR}/play_url_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/play_url_dialog.h
  ${CMAKE_CURRENT_LIST_DIR}/player_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/player_window.h)
target_include_directories(kestrel_shell_player PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_shell_player
  PUBLIC kestrel_shell_skin Qt6::Widgets Qt6::OpenGLWidgets
  PRIVATE PkgConfig::MPV kestrel_warnings)
