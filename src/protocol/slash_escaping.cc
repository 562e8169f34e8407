#include "protocol/slash_escaping.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumora::protocol {
namespace {

// Copies the escape pair at `from` (a backslash and what follows it) to `to`, undoing "\/".
// Returns the positions after both.
inline void copyEscape(const char*& from, char*& to) {
  if (from[1] == '/') {
    *to++ = '/';
  } else {
    *to++ = '\\';
    *to++ = from[1];
  }
  from += 2;
}

}  // namespace

std::string_view unescapeSlashes(std::string_view text, std::string& scratch) {
  if (text.empty()) return text;  // an empty view may have no storage at all, not even for memchr
  const char* from = text.data();
  const char* const end = from + text.size();
  const void* first = std::memchr(from, '\\', text.size());
  if (first == nullptr) return text;
  // Only grown: a scratch kept between calls is overwritten, not cleared and filled again.
  if (scratch.size() < text.size()) scratch.resize(text.size());
  char* to = scratch.data();
  const auto before = static_cast<std::size_t>(static_cast<const char*>(first) - from);
  std::memcpy(to, from, before);
  from += before;
  to += before;
#if defined(__SSE2__)
  // Sixteen bytes at a time, stored whole even when they hold a backslash: the output never
  // runs ahead of the input, so the store always fits, and what follows the escape is written
  // again from its own position next round.
  const __m128i backslash = _mm_set1_epi8('\\');
  while (end - from >= 17) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), block);
    const unsigned found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, backslash)));
    if (found == 0) {
      from += 16;
      to += 16;
      continue;
    }
    const auto run = static_cast<std::size_t>(__builtin_ctz(found));
    from += run;
    to += run;
    copyEscape(from, to);  // the pair lies within the 17 bytes known to be there
  }
#endif
  while (from < end) {
    if (*from != '\\') {
      *to++ = *from++;
    } else if (from + 1 == end) {  // a lone backslash at the very end: left for the parser to refuse
      *to++ = *from++;
    } else {
      copyEscape(from, to);
    }
  }
  return std::string_view(scratch.data(), static_cast<std::size_t>(to - scratch.data()));
}

}  // namespace lumora::protocol
