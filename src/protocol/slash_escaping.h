#pragma once

// Our peers write every "/" inside JSON strings as "\/", and readers take either form. The JSON
// parser leaves its fast path for the rest of a string at the string's first escape, and a file
// chunk's Base64 holds a slash every 64 characters or so: undoing those escapes before parsing
// makes reading a chunk several times faster.

#include <string>
#include <string_view>

namespace lumora::protocol {

// `text` with every escape pair "\/" written as "/"; any other pair "\x" is kept whole, so the
// slash in "\\/" stays escaped-backslash-then-slash. Returns `text` itself when it holds no
// backslash, otherwise a view of the start of `scratch`, which it overwrites (growing it when
// it is shorter than `text`; its size says nothing of the result's).
std::string_view unescapeSlashes(std::string_view text, std::string& scratch);

}  // namespace lumora::protocol
