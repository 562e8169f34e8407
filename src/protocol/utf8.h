#pragma once

#include <string>
#include <string_view>

namespace lumora::protocol {

// Whether `bytes` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUTF8(std::string_view bytes);

// `bytes` with every byte that does not belong to a well-formed sequence replaced by U+FFFD, so
// that text from the system (file names are bytes, command output may be anything) can travel
// in JSON. Well-formed input comes back unchanged.
std::string toValidUTF8(std::string_view bytes);

}  // namespace lumora::protocol
