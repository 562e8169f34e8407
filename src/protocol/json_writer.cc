#include "protocol/json_writer.h"

#include <boost/json/serialize.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "protocol/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumora::protocol {

namespace {

// What follows the backslash for each byte that needs escaping: 0 for none, 'u' for \u00xx.
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  table['"'] = '"';
  table['\\'] = '\\';
  table['/'] = '/';
  return table;
}();

std::size_t escapedLength(unsigned char c) {
  const char escape = kEscapes[c];
  return escape == 0 ? 1 : escape == 'u' ? 6 : 2;
}

inline char* writeEscaped(unsigned char c, char* to) {
  const char escape = kEscapes[c];
  if (escape == 0) {
    *to++ = static_cast<char>(c);
    return to;
  }
  *to++ = '\\';
  if (escape != 'u') {
    *to++ = escape;
    return to;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::memcpy(to, "u00", 3);
  to[3] = kHex[c >> 4];
  to[4] = kHex[c & 0xf];
  return to + 5;
}

#if defined(__SSE2__)
// Lanes holding a control byte, and lanes holding any byte that needs escaping.
struct Lanes {
  unsigned control;
  unsigned special;
};

Lanes lanesToEscape(__m128i block) {
  const __m128i control =
      _mm_cmpeq_epi8(_mm_max_epu8(block, _mm_set1_epi8(0x1f)), _mm_set1_epi8(0x1f));
  const __m128i special = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('"')),
                   _mm_cmpeq_epi8(block, _mm_set1_epi8('\\'))),
      _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('/')), control));
  return {static_cast<unsigned>(_mm_movemask_epi8(control)),
          static_cast<unsigned>(_mm_movemask_epi8(special))};
}

// Set bits in a 16-bit lane mask (without relying on a popcount instruction).
unsigned bitCount16(unsigned x) {
  x = x - ((x >> 1) & 0x5555u);
  x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
  x = (x + (x >> 4)) & 0x0f0fu;
  return (x + (x >> 8)) & 0x1fu;
}
#endif

// The length of `text` once escaped, quotes not included, and whether any byte of it lies outside
// ASCII (only then can it be malformed UTF-8).
struct Measure {
  std::size_t length = 0;
  bool beyondAscii = false;
};

Measure measure(std::string_view text) {
  const auto* from = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t at = 0;
  std::size_t length = 0;
  unsigned highBits = 0;
#if defined(__SSE2__)
  for (; at + 16 <= text.size(); at += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
    highBits |= static_cast<unsigned>(_mm_movemask_epi8(block));
    const Lanes lanes = lanesToEscape(block);
    if (lanes.control == 0) {
      // Quotes, backslashes and slashes take one byte more each.
      length += 16 + bitCount16(lanes.special);
      continue;
    }
    for (std::size_t i = at; i < at + 16; ++i) length += escapedLength(from[i]);
  }
#endif
  for (; at < text.size(); ++at) {
    highBits |= from[at] & 0x80u;
    length += escapedLength(from[at]);
  }
  return {length, highBits != 0};
}

// Writes `text` escaped to `to`, which has room for escapedLength(text) bytes.
void writeEscaped(std::string_view text, char* to) {
  const auto* from = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t at = 0;
#if defined(__SSE2__)
  // A whole block is stored even when it holds a special byte: the output always has room for
  // what is left of the input, and the bytes past the special one are written again next round.
  while (at + 16 <= text.size()) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), block);
    const unsigned special = lanesToEscape(block).special;
    if (special == 0) {
      to += 16;
      at += 16;
      continue;
    }
    const auto before = static_cast<std::size_t>(__builtin_ctz(special));
    to = writeEscaped(from[at + before], to + before);
    at += before + 1;
  }
#endif
  for (; at < text.size(); ++at) to = writeEscaped(from[at], to);
}

class Writer {
 public:
  explicit Writer(Bytes& out) : out_(out) {}

  void value(const boost::json::value& value) {
    switch (value.kind()) {
      case boost::json::kind::null:
        raw("null");
        break;
      case boost::json::kind::bool_:
        raw(value.get_bool() ? "true" : "false");
        break;
      case boost::json::kind::int64:
        number(value.get_int64());
        break;
      case boost::json::kind::uint64:
        number(value.get_uint64());
        break;
      case boost::json::kind::double_:
        // Rare (pointer positions, scales); written exactly as the library writes them.
        raw(boost::json::serialize(value));
        break;
      case boost::json::kind::string:
        string(value.get_string());
        break;
      case boost::json::kind::array: {
        raw("[");
        bool first = true;
        for (const auto& element : value.get_array()) {
          if (!std::exchange(first, false)) raw(",");
          this->value(element);
        }
        raw("]");
        break;
      }
      case boost::json::kind::object: {
        raw("{");
        bool first = true;
        for (const auto& member : value.get_object()) {
          if (!std::exchange(first, false)) raw(",");
          string(member.key());
          raw(":");
          this->value(member.value());
        }
        raw("}");
        break;
      }
    }
  }

 private:
  // What may still follow a long string without the buffer growing (and copying it) again.
  static constexpr std::size_t kRoomAfterString = 256;

  void raw(std::string_view text) { out_.insert(out_.end(), text.begin(), text.end()); }

  template <class Integer>
  void number(Integer number) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    raw(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }

  void string(std::string_view text) {
    const Measure measured = measure(text);
    // Whatever the caller hands over (a file name is any bytes but "/" and NUL), the peer gets
    // well-formed UTF-8: a parser that checks it would refuse the whole message.
    if (measured.beyondAscii && !isValidUTF8(text)) {
      const std::string valid = toValidUTF8(text);
      writeString(valid, measure(valid).length);
      return;
    }
    writeString(text, measured.length);
  }

  void writeString(std::string_view text, std::size_t length) {
    const std::size_t at = out_.size();
    if (out_.capacity() < at + length + 2) {
      out_.reserve(std::max(at + length + 2 + kRoomAfterString, 2 * out_.capacity()));
    }
    out_.resize(at + length + 2);
    auto* to = reinterpret_cast<char*>(out_.data() + at);
    to[0] = '"';
    writeEscaped(text, to + 1);
    to[length + 1] = '"';
  }

  Bytes& out_;
};

}  // namespace

Bytes writeCompactJson(const boost::json::value& value) {
  Bytes out;
  out.reserve(256);
  Writer(out).value(value);
  return out;
}

std::size_t fittingPrefixLength(std::string_view text, std::size_t budget) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t used = 0;
  std::size_t at = 0;
  for (; at < text.size(); ++at) {
    used += escapedLength(bytes[at]);
    if (used > budget) break;
  }
  // Back to the start of the character the cut fell into.
  while (at > 0 && at < text.size() && (bytes[at] & 0xC0) == 0x80) --at;
  return at;
}

}  // namespace lumora::protocol
