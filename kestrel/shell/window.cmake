# The program's start before any window (no Qt): command line, language
# file, association.
include(${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake)
kestrel_embed_file(${CMAKE_CURRENT_BINARY_DIR}/english_language.cpp
  ${PROJECT_SOURCE_DIR}/resources/eng.ini kestrel::shell englishLanguageFile)
add_library(kestrel_app_start STATIC app_start.cpp ${CMAKE_CURRENT_BINARY_DIR}/english_language.cpp)
target_include_directories(kestrel_app_start PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_app_start PUBLIC kestrel_engine kestrel_platform plover PRIVATE kestrel_warnings)
