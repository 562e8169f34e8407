#include "protocol/slash_escaping.h"

#include <cstring>

namespace lumora::protocol {

std::string_view unescapeSlashes(std::string_view text, std::string& scratch) {
  if (text.empty()) return text;  // an empty view may have no storage at all, not even for memchr
  const char* from = text.data();
  const char* const end = from + text.size();
  const void* backslash = std::memchr(from, '\\', text.size());
  if (backslash == nullptr) return text;
  scratch.resize(text.size());
  char* to = scratch.data();
  while (backslash != nullptr) {
    const auto* escape = static_cast<const char*>(backslash);
    const auto run = static_cast<std::size_t>(escape - from);
    std::memcpy(to, from, run);
    to += run;
    if (escape + 1 == end) {  // a lone backslash at the very end: left for the parser to refuse
      from = escape;
      break;
    }
    if (escape[1] == '/') {
      *to++ = '/';
    } else {
      *to++ = '\\';
      *to++ = escape[1];
    }
    from = escape + 2;
    backslash = std::memchr(from, '\\', static_cast<std::size_t>(end - from));
  }
  const auto rest = static_cast<std::size_t>(end - from);
  std::memcpy(to, from, rest);
  to += rest;
  scratch.resize(static_cast<std::size_t>(to - scratch.data()));
  return scratch;
}

}  // namespace lumora::protocol
