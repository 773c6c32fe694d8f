# The program's start before any window (no Qt): command line, language
# file, association.
include(${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake)
kestrel_embed_file(${CMAKE_CURRENT_BINARY_DIR}/english_language.cpp
  ${PROJECT_SOURCE_DIR}/resources/eng.ini kestrel::shell englishLanguageFile)
add_library(kestrel_app_start STATIC app_start.cpp ${CMAKE_CURRENT_BINARY_DIR}/english_language.cpp)
target_include_directories(kestrel_app_start PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_app_start PUBLIC kestrel_engine kestrel_platform plover PRIVATE kestrel_warnings)

# The main window over the recording session, and the program.
add_library(kestrel_shell_window STATIC main_window.cpp main_window.h)
target_include_directories(kestrel_shell_window PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_shell_window
  PUBLIC kestrel_session kestrel_shell_recordings kestrel_shell_playlist kestrel_shell_player kestrel_shell_markup kestrel_shell_skin kestrel_shell_dialogs
    kestrel_single_instance kestrel_flv_repair Qt6::Widgets
  PRIVATE kestrel_warnings)

add_executable(kestrel main.cpp)
target_link_libraries(kestrel PRIVATE kestrel_shell_window kestrel_app_start kestrel_single_instance kestrel_warnings)
# The recording library and the outside converter are loaded at run time,
# from beside the program.
foreach(plugin osprey curlew)
  if(TARGET ${plugin})
    add_dependencies(kestrel ${plugin})
  endif()
endforeach()
