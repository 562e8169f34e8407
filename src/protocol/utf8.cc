#include "protocol/utf8.h"

namespace lumora::protocol {
namespace {

// The length of the well-formed sequence at `at`, or 0 when the byte there does not start one.
std::size_t sequenceLength(const unsigned char* at, std::size_t left) {
  const unsigned char lead = at[0];
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (left < length || at[1] < low || at[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((at[i] & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

bool isValidUTF8(std::string_view bytes) {
  const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t left = bytes.size();
  while (left > 0) {
    const std::size_t length = sequenceLength(at, left);
    if (length == 0) return false;
    at += length;
    left -= length;
  }
  return true;
}

std::string toValidUTF8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t left = bytes.size();
  while (left > 0) {
    std::size_t length = sequenceLength(at, left);
    if (length == 0) {
      text += "\xEF\xBF\xBD";
      length = 1;
    } else {
      text.append(reinterpret_cast<const char*>(at), length);
    }
    at += length;
    left -= length;
  }
  return text;
}

}  // namespace lumora::protocol
