#pragma once

// Our JSON writes every "/" inside strings as "\/", and readers take either form. File chunks
// carry Base64 with a slash every 64 characters or so, which makes these two passes part of
// every transfer's hot path; both work 16 bytes at a time where the processor allows.

#include <string>
#include <string_view>

#include "protocol/bytes.h"

namespace lumora::protocol {

// `text` with a backslash before every slash. JSON's structure never holds a slash outside a
// string, so on JSON text this touches string contents only.
Bytes escapeSlashes(std::string_view text);

// `text` with every escape pair "\/" written as "/"; any other pair "\x" is kept whole, so the
// slash in "\\/" stays escaped-backslash-then-slash. Returns `text` itself when it holds no
// backslash, otherwise a view of `scratch`, which it overwrites.
std::string_view unescapeSlashes(std::string_view text, std::string& scratch);

}  // namespace lumora::protocol
