# One INTERFACE target carries the project's warning set; every target links it.
add_library(kestrel_warnings INTERFACE)
target_compile_options(kestrel_warnings INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wconversion -Wsign-conversion -Wold-style-cast
    -Wnon-virtual-dtor -Wshadow -Woverloaded-virtual>
  $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Wconversion -Wshadow>)
if(KESTREL_WERROR)
  target_compile_options(kestrel_warnings INTERFACE -Werror)
endif()
