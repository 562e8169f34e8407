#pragma once

// The lumora-account-service program as a person starts it, for tests that need the real
// service: a private home and state folder, its output in a file there. A test binary that
// uses it depends on the program (add_dependencies ... lumora-account-service).

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace lumora::testing_support {

class AccountServiceProcess {
 public:
  // Starts the program with `arguments` (for example {"--listen", "127.0.0.1:0", "--dev"}).
  explicit AccountServiceProcess(std::vector<std::string> arguments);
  ~AccountServiceProcess();
  AccountServiceProcess(const AccountServiceProcess&) = delete;
  AccountServiceProcess& operator=(const AccountServiceProcess&) = delete;

  // The first line of output once it is there: the URL the service serves on.
  std::string url() const;
  std::string log() const;

  // SIGTERM, then the exit status (128 + signal when it died of one).
  int terminate();
  // The running program's process id (-1 once terminated).
  pid_t pid() const { return pid_; }

  const TempDir home;

 private:
  pid_t pid_ = -1;
};

}  // namespace lumora::testing_support
