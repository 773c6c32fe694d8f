# FLV repair: a copy of an FLV file with synthetic timestamps.
add_library(kestrel_flv_repair STATIC ${CMAKE_CURRENT_LIST_DIR}/flv_repair.cpp)
target_include_directories(kestrel_flv_repair PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kestrel_flv_repair
  PUBLIC kestrel_platform kestrel_common
  PRIVATE kestrel_warnings)
