# The built-in RTMP-to-FLV converters: raw chunk-stream file in, FLV file out.
add_library(kestrel_rtmp_builtin STATIC
  ${CMAKE_CURRENT_LIST_DIR}/builtin_rtmp_converter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/builtin_rtmp_variant.cpp
  ${CMAKE_CURRENT_LIST_DIR}/builtin_rtmp_io.cpp)
target_include_directories(kestrel_rtmp_builtin PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_rtmp_builtin
  PUBLIC kestrel_platform kestrel_common
  PRIVATE kestrel_warnings)
