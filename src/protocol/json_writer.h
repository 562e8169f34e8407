#pragma once

// Compact JSON text, written the way our peers expect it: no white space, every "/" inside
// strings written as "\/", the other escapes as the JSON library writes them ("\"", "\\", \b \f
// \n \r \t, other control characters as \u00xx, everything else as it is). Strings are copied 16
// bytes at a time where the processor allows, since a file chunk is one string of megabytes.
// Bytes that are not well-formed UTF-8 are written as U+FFFD, one for each such byte.

#include <boost/json/value.hpp>

#include <cstddef>
#include <string_view>

#include "protocol/bytes.h"

namespace lumora::protocol {

Bytes writeCompactJson(const boost::json::value& value);

// How many leading bytes of `text` (well-formed UTF-8) take at most `budget` bytes once written
// as a JSON string (quotes not counted), ending on a whole character: where to cut a text so
// that its reply stays within a size.
std::size_t fittingPrefixLength(std::string_view text, std::size_t budget);

}  // namespace lumora::protocol
