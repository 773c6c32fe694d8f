# The playlist: playlist.dat and its entries (plain C++, no Qt, so the fuzz
# target and the file tests need no Qt), and the list view with its
# commands.
add_library(kestrel_playlist_file STATIC
  ${CMAKE_CURRENT_LIST_DIR}/playlist_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/playlist_file.h)
target_include_directories(kestrel_playlist_file PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_playlist_file PUBLIC kestrel_platform PRIVATE kestrel_warnings)
set_target_properties(kestrel_playlist_file PROPERTIES AUTOMOC OFF)

# The view stands on the recording list (its geometry, its FLV check and its
# texts) and the skin's icons.
if(NOT TARGET kestrel_shell_recordings OR NOT TARGET kestrel_shell_skin)
  message(STATUS "kestrel_shell_playlist not built: the recording list or the skin is missing")
  return()
endif()
add_library(kestrel_shell_playlist STATIC
  ${CMAKE_CURRENT_LIST_DIR}/playlist_view.cpp
  ${CMAKE_CURRENT_LIST_DIR}/playlist_view.h)
target_include_directories(kestrel_shell_playlist PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_shell_playlist
  PUBLIC kestrel_playlist_file kestrel_shell_recordings kestrel_shell_markup kestrel_shell_skin Qt6::Widgets
  PRIVATE kestrel_warnings)
