# Markup rows: the layout of the markup (plain C++, no Qt, so that the fuzz
# target and the layout tests need no Qt), its painter surface and the
# markup list control.
add_library(kestrel_markup_layout STATIC
  ${CMAKE_CURRENT_LIST_DIR}/markup_layout.cpp
  ${CMAKE_CURRENT_LIST_DIR}/markup_layout.h)
target_include_directories(kestrel_markup_layout PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_markup_layout PRIVATE kestrel_warnings)

add_library(kestrel_shell_markup STATIC
  ${CMAKE_CURRENT_LIST_DIR}/markup_painter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/markup_painter.h
  ${CMAKE_CURRENT_LIST_DIR}/markup_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/markup_list.h)
target_include_directories(kestrel_shell_markup PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_shell_markup
  PUBLIC kestrel_markup_layout Qt6::Widgets
  PRIVATE kestrel_warnings)
