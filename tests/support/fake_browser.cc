#include "support/fake_browser.h"

#include <filesystem>

namespace lumora::testing_support {

std::string fakeBrowserPath(const TempDir& dir) {
  std::filesystem::create_directories(dir.path() / "bin");
  const std::string script = dir.make(
      "bin/xdg-open", "#!/bin/sh\nexec /usr/bin/curl -sfL -o \"${0%/*}/page.html\" \"$1\"\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  return (dir.path() / "bin").string() + ":/usr/bin:/bin";
}

}  // namespace lumora::testing_support
