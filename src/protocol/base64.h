#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/bytes.h"

namespace lumora::protocol {

// Standard Base64 (RFC 4648 section 4 alphabet) with padding, no line breaks.
std::string base64Encode(ByteView data);

// Size of base64Encode's output for `byteCount` input bytes.
constexpr std::size_t base64EncodedSize(std::size_t byteCount) { return (byteCount + 2) / 3 * 4; }

// Writes the encoding of `data` to `out`, which must have room for base64EncodedSize + 1 bytes
// (a terminating NUL is written after the text). Returns the text length.
std::size_t base64EncodeInto(ByteView data, char* out);

// Strict decoding: the length must be a multiple of four, padding may only end the text, and
// anything outside the alphabet (white space included) is refused.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace lumora::protocol
