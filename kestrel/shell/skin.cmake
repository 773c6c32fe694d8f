# kestrel_shell_skin: the skin's pictures (compiled in from
# resources/skins/skins.qrc, written by tools/skin-maker), the picture
# buttons, the frameless skinned window and the About dialog.
set(kestrel_skins_qrc ${PROJECT_SOURCE_DIR}/resources/skins/skins.qrc)
if(NOT EXISTS ${kestrel_skins_qrc})
  message(WARNING "kestrel_shell_skin not built: ${kestrel_skins_qrc} is missing (run skin-maker resources/skins)")
  return()
endif()

add_library(kestrel_shell_skin STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/skin_button.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/skinned_window.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/about_dialog.cpp
  ${kestrel_skins_qrc})
target_include_directories(kestrel_shell_skin PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_shell_skin PUBLIC Qt6::Widgets PRIVATE kestrel_warnings)
target_compile_definitions(kestrel_shell_skin PRIVATE KESTREL_VERSION="${PROJECT_VERSION}")
