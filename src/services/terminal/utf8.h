#pragma once

#include <string>
#include <string_view>

namespace lumora::services {

// The shell to use when a request names none: the agent user's login shell from the password
// database, else $SHELL, else /bin/sh.
std::string loginShell();

// Whether `bytes` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUTF8(std::string_view bytes);

}  // namespace lumora::services
