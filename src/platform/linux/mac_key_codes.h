#pragma once

#include <cstdint>
#include <optional>

#include "platform/input_injector.h"

namespace lumora::platform::linux_os {

// The X keysym for a macOS virtual key code (the codes the phone sends), covering every key of
// a full Apple keyboard; none for codes no key produces. The key is named by what it is on the
// keyboard, so letters map to their lower-case keysym and keypad keys to their keypad keysyms.
// The Command keys give what `command` says.
std::optional<std::uint32_t> keysymForMacKeyCode(std::uint16_t keyCode,
                                                 CommandKey command = CommandKey::control);

}  // namespace lumora::platform::linux_os
