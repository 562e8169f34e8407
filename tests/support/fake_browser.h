#pragma once

#include <string>

#include "support/temp_dir.h"

namespace lumora::testing_support {

// An `xdg-open` in `dir`/bin that follows the sign-in page's redirects (curl -L) back to the
// loopback listener, as a person's browser does after they approve, and keeps the page it ends
// on in `dir`/bin/page.html. Returns a PATH that finds it first, then the system's programs.
std::string fakeBrowserPath(const TempDir& dir);

}  // namespace lumora::testing_support
