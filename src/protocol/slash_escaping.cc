#include "protocol/slash_escaping.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumora::protocol {

namespace {

std::size_t countSlashes(const char* text, std::size_t size) {
  std::size_t count = 0;
  std::size_t at = 0;
#if defined(__SSE2__)
  // Each lane counts its matches in a byte (a match compares to -1, subtracted), emptied into
  // the total before it can wrap.
  const __m128i slash = _mm_set1_epi8('/');
  while (at + 16 <= size) {
    __m128i lanes = _mm_setzero_si128();
    for (int round = 0; round < 255 && at + 16 <= size; ++round, at += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(block, slash));
    }
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
#endif
  for (; at < size; ++at) count += text[at] == '/' ? 1 : 0;
  return count;
}

}  // namespace

Bytes escapeSlashes(std::string_view text) {
  const char* from = text.data();
  const std::size_t size = text.size();
  Bytes out(size + countSlashes(from, size));
  auto* to = reinterpret_cast<char*>(out.data());
  std::size_t at = 0;
#if defined(__SSE2__)
  // A whole block is stored even when a slash cuts it short: the output always has room for
  // what is left of the input, and the bytes past the slash are written again next round.
  const __m128i slash = _mm_set1_epi8('/');
  while (at + 16 <= size) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), block);
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, slash)));
    if (mask == 0) {
      to += 16;
      at += 16;
      continue;
    }
    const auto before = static_cast<std::size_t>(__builtin_ctz(mask));
    to += before;
    *to++ = '\\';
    *to++ = '/';
    at += before + 1;
  }
#endif
  for (; at < size; ++at) {
    if (from[at] == '/') *to++ = '\\';
    *to++ = from[at];
  }
  return out;
}

std::string_view unescapeSlashes(std::string_view text, std::string& scratch) {
  const char* from = text.data();
  const char* const end = from + text.size();
  const void* backslash = std::memchr(from, '\\', text.size());
  if (backslash == nullptr) return text;
  scratch.resize(text.size());
  char* to = scratch.data();
  while (backslash != nullptr) {
    const auto* escape = static_cast<const char*>(backslash);
    const auto run = static_cast<std::size_t>(escape - from);
    std::memcpy(to, from, run);
    to += run;
    if (escape + 1 == end) {  // a lone backslash at the very end: left for the parser to refuse
      from = escape;
      break;
    }
    if (escape[1] == '/') {
      *to++ = '/';
    } else {
      *to++ = '\\';
      *to++ = escape[1];
    }
    from = escape + 2;
    backslash = std::memchr(from, '\\', static_cast<std::size_t>(end - from));
  }
  const auto rest = static_cast<std::size_t>(end - from);
  std::memcpy(to, from, rest);
  to += rest;
  scratch.resize(static_cast<std::size_t>(to - scratch.data()));
  return scratch;
}

}  // namespace lumora::protocol
