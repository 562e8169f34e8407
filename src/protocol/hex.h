#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/bytes.h"

namespace lumora::protocol {

// Every byte as two lower-case hexadecimal digits, no separators.
std::string hexString(ByteView data);

// The inverse of hexString; either letter case is accepted. No value for an odd length or a
// character that is not a hexadecimal digit.
std::optional<Bytes> bytesFromHex(std::string_view text);

}  // namespace lumora::protocol
