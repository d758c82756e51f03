# Warnings every target of ours compiles with.
add_library(halvara_warnings INTERFACE)
target_compile_options(halvara_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Woverloaded-virtual -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough)
if(HALVARA_WERROR)
  target_compile_options(halvara_warnings INTERFACE -Werror)
endif()
