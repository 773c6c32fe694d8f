# The engine's dialogs (address chooser, adapter list, the error shown when
# adapters cannot be listed) and the single-instance rule.

# Plain POSIX, no Qt: usable by tests and hosts without a GUI.
add_library(kestrel_single_instance STATIC ${CMAKE_CURRENT_LIST_DIR}/single_instance.cpp)
target_include_directories(kestrel_single_instance PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_single_instance PUBLIC kestrel_platform PRIVATE kestrel_warnings)
set_target_properties(kestrel_single_instance PROPERTIES AUTOMOC OFF AUTORCC OFF)

add_library(kestrel_shell_dialogs STATIC
  ${CMAKE_CURRENT_LIST_DIR}/address_chooser_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adapter_list_dialog.cpp)
target_include_directories(kestrel_shell_dialogs PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_shell_dialogs
  PUBLIC Qt6::Widgets kestrel_engine kestrel_platform
  PRIVATE kestrel_warnings)
