# Project-wide warning flags; LUMORA_WERROR turns them into errors (CI does).
add_library(lumora_warnings INTERFACE)
target_compile_options(lumora_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough
  # GCC 12 misreads Asio's coroutine frame allocator at -O2 as a mismatched new/delete.
  $<$<CXX_COMPILER_ID:GNU>:-Wno-mismatched-new-delete>
  $<$<BOOL:${LUMORA_WERROR}>:-Werror>)

# lumora_target(<name>) applies the house flags to one of our own targets.
function(lumora_target name)
  target_link_libraries(${name} PRIVATE lumora_warnings)
endfunction()
