#include "support/account_service_process.h"

#include <signal.h>

#include <utility>

#include "support/eventually.h"
#include "support/spawn.h"

namespace lumora::testing_support {

AccountServiceProcess::AccountServiceProcess(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), LUMORA_ACCOUNT_SERVICE_BINARY);
  pid_ = spawnProcess(arguments,
                      {.environment = std::vector<std::string>{"HOME=" + home.path().string(),
                                                               "XDG_STATE_HOME=" + home / "state",
                                                               "PATH=/usr/bin:/bin"},
                       .output = home / "service.log",
                       .error = home / "service.log"});
}

AccountServiceProcess::~AccountServiceProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitForExit(pid_);
  }
}

std::string AccountServiceProcess::url() const {
  eventually([&] { return log().find('\n') != std::string::npos; });
  const std::string output = log();
  return output.substr(0, output.find('\n'));
}

std::string AccountServiceProcess::log() const { return contentOf(home / "service.log"); }

int AccountServiceProcess::terminate() {
  ::kill(pid_, SIGTERM);
  return waitForExit(std::exchange(pid_, -1));
}

}  // namespace lumora::testing_support
