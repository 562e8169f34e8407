#include "services/terminal/shell.h"

#include <pwd.h>
#include <unistd.h>

#include <boost/locale/utf.hpp>

#include <cstdlib>
#include <vector>

namespace lumora::services {

std::string loginShell() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_shell && *found->pw_shell) {
    return found->pw_shell;
  }
  if (const char* shell = std::getenv("SHELL"); shell && *shell) return shell;
  return "/bin/sh";
}

bool isValidUTF8(std::string_view bytes) {
  using Traits = boost::locale::utf::utf_traits<char>;
  const char* cursor = bytes.data();
  const char* end = cursor + bytes.size();
  while (cursor != end) {
    boost::locale::utf::code_point c = Traits::decode(cursor, end);
    if (c == boost::locale::utf::illegal || c == boost::locale::utf::incomplete) return false;
  }
  return true;
}

}  // namespace lumora::services
