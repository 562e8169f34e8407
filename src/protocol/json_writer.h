#pragma once

// Compact JSON text, written the way our peers expect it: no white space, every "/" inside
// strings written as "\/", the other escapes as the JSON library writes them ("\"", "\\", \b \f
// \n \r \t, other control characters as \u00xx, everything else as it is). Strings are copied 16
// bytes at a time where the processor allows, since a file chunk is one string of megabytes.

#include <boost/json/value.hpp>

#include "protocol/bytes.h"

namespace lumora::protocol {

Bytes writeCompactJson(const boost::json::value& value);

}  // namespace lumora::protocol
