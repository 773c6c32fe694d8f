# kestrel_embed_file(OUT_CPP INPUT NAMESPACE SYMBOL): writes a source file that
# defines `std::string_view NAMESPACE::SYMBOL()` returning INPUT's exact bytes.
# Used for built-in resources that must be written byte for byte.
function(kestrel_embed_file out_cpp input ns symbol)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${input})
  file(READ ${input} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  file(WRITE ${out_cpp}
    "// Generated from ${input}; do not edit.\n#include <string_view>\n"
    "namespace ${ns} {\nnamespace { constexpr char kBytes[] = {${bytes} 0}; }\n"
    "std::string_view ${symbol}() { return {kBytes, sizeof(kBytes) - 1}; }\n}\n")
endfunction()
