#include "support/x_clipboard.h"

#include "support/eventually.h"
#include "support/spawn.h"

namespace lumora::testing_support {

namespace {

std::vector<std::string> environmentFor(const std::string& display) {
  return {"DISPLAY=" + display, "PATH=/usr/bin:/bin"};
}

}  // namespace

std::string XClipboard::read(const std::string& target) const {
  const auto run =
      runProgram({"timeout", "10", "xclip", "-selection", "clipboard", "-o", "-t", target},
                 {.environment = environmentFor(display_)});
  return run.exitCode == 0 ? run.output : std::string();
}

bool XClipboard::offer(const std::string& bytes, const std::string& target) {
  clear();
  const std::string file = folder_.make("offer", bytes);
  owner_ = spawnProcess({"xclip", "-selection", "clipboard", "-quiet", "-i", "-t", target, file},
                        {.environment = environmentFor(display_)});
  return eventually([&] { return read(target) == bytes; });
}

void XClipboard::clear() { endProcess(owner_); }

}  // namespace lumora::testing_support
