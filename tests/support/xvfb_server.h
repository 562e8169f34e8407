#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace lumora::testing_support {

// A private Xvfb for one test: started on a free display number (the server picks it), with
// DISPLAY pointing at it while the object lives; stopped and DISPLAY restored on destruction.
class XvfbServer {
 public:
  // Throws std::runtime_error when Xvfb cannot be started within a few seconds.
  // `extraArguments` go to the server as they are (e.g. "-extension", "XTEST" to leave one out).
  explicit XvfbServer(const std::string& screenGeometry = "1280x800x24",
                      const std::vector<std::string>& extraArguments = {});
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":<n>"
  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
  bool hadDisplay_ = false;
  std::string previousDisplay_;
};

}  // namespace lumora::testing_support
