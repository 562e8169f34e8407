#pragma once

// Base64 over whole blocks with SSSE3 byte shuffles: the bulk of a large text, leaving the
// ends (and the padding) to the portable coder. Call only when ssse3Available().

#include <cstddef>
#include <cstdint>

namespace lumora::protocol::base64_blocks {

// Whether this processor has SSSE3 (always false off x86-64).
bool ssse3Available();

// Encodes 12-byte groups while at least 16 input bytes remain (each step reads 16). Writes
// four characters per three bytes consumed and returns the bytes consumed, a multiple of 12.
std::size_t encode(const std::uint8_t* in, std::size_t size, char* out);

// The value decode returns when it meets a character outside the alphabet.
constexpr std::size_t kInvalid = static_cast<std::size_t>(-1);

// Decodes 16-character groups while at least 24 characters remain, so the last group (and its
// padding) is left over and every 16-byte store stays inside an output sized for the whole
// text. Returns the characters consumed (a multiple of 16), or kInvalid.
std::size_t decode(const char* in, std::size_t size, std::uint8_t* out);

}  // namespace lumora::protocol::base64_blocks
