#pragma once

// The lumora-agent program as tests and benchmarks drive it: a home of its own (or one shared
// between runs), ephemeral ports, no QR code, and only the environment it is given (no display
// unless it names one) plus the run's sanitizer settings. What it prints goes to agent.log in
// its home.

#include <sys/types.h>

#include <boost/json/object.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/pairing_secret.h"
#include "support/temp_dir.h"

namespace lumora::testing_support {

class AgentProcess {
 public:
  // In a private home; `environment` is added to the agent's (e.g. "DISPLAY=:3"), `arguments`
  // to its command line. Returns once the agent serves.
  explicit AgentProcess(std::vector<std::string> environment = {},
                        std::vector<std::string> arguments = {});
  // In a home shared between runs, with --reset-pairing when asked; returns at once unless
  // told to wait until the agent serves.
  AgentProcess(const TempDir& home, bool resetPairing, bool waitUntilServing = true);
  // SIGKILL, unless the agent was terminated.
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // Waits until the status file reports the agent serving; false if it never does (the limit
  // only guards against a hang; log() then says why).
  bool waitUntilServing();
  bool serving() const { return !status_.empty(); }

  // What the status file of the serving agent says.
  const boost::json::object& status() const { return status_; }
  std::uint16_t controlPort() const { return port("controlPort"); }
  std::uint16_t mediaPort() const { return port("mediaPort"); }
  protocol::PairingSecret secret() const;
  // The lumora://pair link the agent published.
  std::string link() const;

  // The program's path, for a test that runs it on its own terms (a refused command line).
  static std::string binary();

  pid_t pid() const { return pid_; }
  const TempDir& home() const { return *home_; }
  std::string log() const;
  // SIGTERM, then the exit status (128 + signal when it died of one).
  int terminate();

 private:
  void start(std::vector<std::string> arguments, std::vector<std::string> environment);
  std::uint16_t port(const char* key) const;

  TempDir ownHome_;
  const TempDir* home_;
  pid_t pid_ = -1;
  boost::json::object status_;
};

}  // namespace lumora::testing_support
