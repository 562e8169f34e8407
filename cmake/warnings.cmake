# Project-wide warning flags; LUMORA_WERROR turns them into errors (CI does).
add_library(lumora_warnings INTERFACE)
target_compile_options(lumora_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough
  # GCC 12 misreads Asio's coroutine frame allocator at -O2 as a mismatched new/delete.
  $<$<CXX_COMPILER_ID:GNU>:-Wno-mismatched-new-delete>
  $<$<BOOL:${LUMORA_WERROR}>:-Werror>)

# Under ThreadSanitizer GCC flags every std::atomic_thread_fence it inlines (-Wtsan): the
# runtime does not model stand-alone fences. The only fences in our builds are Asio's (its
# fenced blocks around handler calls and its reference-count release), and TSan sees the
# mutexes and atomics that actually order Asio's handoffs. Clang's runtime skips fences just
# the same, only silently, so building with it would hide the warning, not the blind spot; we
# keep GCC, the compiler that builds what ships, and every other warning as an error.
# Our own code stays free of stand-alone fences (scripts/test checks) so the blind spot stays
# confined to Asio.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize=thread")
  target_compile_options(lumora_warnings INTERFACE -Wno-tsan)
endif()

# lumora_target(<name>) applies the house flags to one of our own targets.
function(lumora_target name)
  target_link_libraries(${name} PRIVATE lumora_warnings)
endfunction()
