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

// base64url (RFC 4648 section 5): "-" and "_" in place of "+" and "/", no padding; how tokens,
// JWTs and PKCE write bytes.
std::string base64URLEncode(ByteView data);
// Strict as base64Decode: "+", "/", "=" and anything else outside the alphabet are refused, and
// so is a length no encoding has (one character past a multiple of four).
std::optional<Bytes> base64URLDecode(std::string_view text);

}  // namespace lumora::protocol
