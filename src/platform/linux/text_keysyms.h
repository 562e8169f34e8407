#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace lumora::platform::linux_os {

// The characters of UTF-16 text; an unpaired surrogate reads as U+FFFD.
std::vector<char32_t> codePoints(std::u16string_view units);

// The keysym that types `c`: Return, Tab and BackSpace for the controls that have a key of
// their own, 0 for other controls (they are not typed), else the character's own keysym.
std::uint32_t keysymForCharacter(char32_t c);

}  // namespace lumora::platform::linux_os
