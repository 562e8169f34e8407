#pragma once

#include <string_view>

namespace lumora::core {

// Whether `bytes` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUTF8(std::string_view bytes);

}  // namespace lumora::core
