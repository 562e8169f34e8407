#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace lumora::protocol {

// Raw binary data as it travels on the wire (Base64 inside JSON, raw in frames).
using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView asBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string_view asText(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

inline Bytes bytesOf(std::string_view text) {
  auto view = asBytes(text);
  return Bytes(view.begin(), view.end());
}

}  // namespace lumora::protocol
