#include "support/xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "support/spawn.h"

namespace lumora::testing_support {

XvfbServer::XvfbServer(const std::string& screenGeometry,
                       const std::vector<std::string>& extraArguments) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  std::vector<std::string> argv{"Xvfb",         "-displayfd", "3",   "-screen", "0",
                                screenGeometry, "-nolisten",  "tcp", "-noreset"};
  argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
  try {
    pid_ = spawnProcess(argv, {.passFd = fds[1]});
  } catch (const std::runtime_error&) {
    close(fds[0]);
    close(fds[1]);
    throw std::runtime_error("cannot run Xvfb (is it installed?)");
  }
  close(fds[1]);

  // The server writes its display number once it accepts connections.
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c;
    const ssize_t n = read(fds[0], &c, 1);
    if (n <= 0 || c == '\n') break;
    number.push_back(c);
  }
  close(fds[0]);
  if (number.empty()) {
    kill(pid_, SIGKILL);
    waitForExit(pid_);
    throw std::runtime_error("Xvfb did not come up");
  }
  display_ = ":" + number;
  if (const char* previous = std::getenv("DISPLAY")) {
    hadDisplay_ = true;
    previousDisplay_ = previous;
  }
  setenv("DISPLAY", display_.c_str(), 1);
}

XvfbServer::~XvfbServer() {
  if (hadDisplay_) {
    setenv("DISPLAY", previousDisplay_.c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
  // Nothing of the server's outlives the test: no need to let it tidy up.
  kill(pid_, SIGKILL);
  waitForExit(pid_);
}

}  // namespace lumora::testing_support
