#include "platform/linux/text_keysyms.h"

#include <xkbcommon/xkbcommon.h>

namespace lumora::platform::linux_os {

std::uint32_t keysymForCharacter(char32_t c) {
  switch (c) {
    case U'\n':
    case U'\r':
      return XKB_KEY_Return;
    case U'\t':
      return XKB_KEY_Tab;
    case U'\b':
      return XKB_KEY_BackSpace;
    default:
      if (c < 0x20 || c == 0x7F) return 0;
      return xkb_utf32_to_keysym(c);
  }
}

std::vector<char32_t> codePoints(std::u16string_view units) {
  std::vector<char32_t> result;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      result.push_back(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                       (static_cast<char32_t>(units[i + 1]) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      result.push_back(0xFFFD);
    } else {
      result.push_back(u);
    }
  }
  return result;
}

}  // namespace lumora::platform::linux_os
