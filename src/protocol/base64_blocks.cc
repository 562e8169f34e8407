#include "protocol/base64_blocks.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace lumora::protocol::base64_blocks {

#if defined(__x86_64__)

bool ssse3Available() {
  static const bool available = __builtin_cpu_supports("ssse3");
  return available;
}

namespace {

// Twelve bytes (in the low lanes) to sixteen 6-bit indices, one per lane.
__attribute__((target("ssse3"))) __m128i indicesOf(__m128i in) {
  // Each 32-bit lane gets the three bytes it encodes, as [b1 b0 b2 b1] so that the two 16-bit
  // halves hold the bit pairs the multiplies below pick apart.
  in = _mm_shuffle_epi8(in, _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1));
  const __m128i first = _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0fc0fc00)),
                                        _mm_set1_epi32(0x04000040));
  const __m128i second = _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003f03f0)),
                                         _mm_set1_epi32(0x01000010));
  return _mm_or_si128(first, second);
}

// Indices 0..63 to their characters: each range of the alphabet is a fixed offset from its
// index, and the offset is looked up by a small class number.
__attribute__((target("ssse3"))) __m128i charactersOf(__m128i indices) {
  // 0..51 -> 0, 52..61 -> 1..10, 62 -> 11, 63 -> 12; then 0..25 -> 13.
  __m128i group = _mm_subs_epu8(indices, _mm_set1_epi8(51));
  const __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(26), indices);
  group = _mm_or_si128(group, _mm_and_si128(upper, _mm_set1_epi8(13)));
  const __m128i offsets = _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                        '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62,
                                        '/' - 63, 'A', 0, 0);
  return _mm_add_epi8(_mm_shuffle_epi8(offsets, group), indices);
}

}  // namespace

__attribute__((target("ssse3"))) std::size_t encode(const std::uint8_t* in, std::size_t size,
                                                     char* out) {
  std::size_t consumed = 0;
  for (; consumed + 16 <= size; consumed += 12, out += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + consumed));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), charactersOf(indicesOf(bytes)));
  }
  return consumed;
}

__attribute__((target("ssse3"))) std::size_t decode(const char* in, std::size_t size,
                                                     std::uint8_t* out) {
  // A character is in the alphabet when the classes of its low and of its high nibble share
  // no bit; bytes of 0x80 and above have a high-nibble class that meets every low one.
  const __m128i lowClasses = _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                           0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a);
  const __m128i highClasses = _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10,
                                            0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  // What to add to a character to get its value, by high nibble ('/' has a slot of its own).
  const __m128i offsets = _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i nibble = _mm_set1_epi8(0x2f);
  std::size_t consumed = 0;
  for (; consumed + 24 <= size; consumed += 16, out += 12) {
    const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + consumed));
    const __m128i high = _mm_and_si128(_mm_srli_epi32(text, 4), nibble);
    const __m128i low = _mm_and_si128(text, nibble);
    const __m128i clash = _mm_and_si128(_mm_shuffle_epi8(lowClasses, low),
                                        _mm_shuffle_epi8(highClasses, high));
    if (_mm_movemask_epi8(_mm_cmpgt_epi8(clash, _mm_setzero_si128())) != 0) return kInvalid;
    const __m128i slash = _mm_cmpeq_epi8(text, nibble);
    const __m128i values =
        _mm_add_epi8(text, _mm_shuffle_epi8(offsets, _mm_add_epi8(slash, high)));
    // Four 6-bit values per 32-bit lane to 24 bits, then the three bytes of each lane in order.
    const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
    const __m128i lanes = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    const __m128i bytes = _mm_shuffle_epi8(
        lanes, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
  }
  return consumed;
}

#else

bool ssse3Available() { return false; }
std::size_t encode(const std::uint8_t*, std::size_t, char*) { return 0; }
std::size_t decode(const char*, std::size_t, std::uint8_t*) { return 0; }

#endif

}  // namespace lumora::protocol::base64_blocks
