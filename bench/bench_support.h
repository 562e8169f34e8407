#pragma once

// What the benchmarks that drive real programs share: starting processes, the agent under
// test with a private home, and percentiles.

#include <sys/types.h>

#include <boost/json/object.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "command_line/cli_args.h"
#include "protocol/pairing_secret.h"

namespace lumora::bench {

// Reads a benchmark's command line by `options` and hands it to `read`, which takes out the
// values it needs. --help prints `usage` and the options and exits 0; a mistake, in the command
// line or in a value that `read` refuses (cli::UsageError), prints one line and exits 2, so a
// mistyped option never starts a long run.
void parseOptions(int argc, char** argv, const std::string& usage,
                  std::vector<cli::OptionSpec> options,
                  const std::function<void(const cli::ParsedArgs&)>& read);

struct Stats {
  double p50 = 0;
  double p99 = 0;
};
// Of a non-empty sample.
Stats percentiles(std::vector<double> samples);
// The q-quantile (0…1, nearest rank below) of a non-empty sample.
double percentile(std::vector<double> samples, double q);

// Starts `args` (looked up on PATH) with standard error discarded; `in`/`out` replace standard
// input/output when not -1; `env` replaces the environment when given. Throws when it cannot.
pid_t spawn(const std::vector<std::string>& args, int in = -1, int out = -1,
            const std::vector<std::string>* env = nullptr);
// Runs to the end and returns the wait status.
int runToEnd(const std::vector<std::string>& args);

// CPU seconds (user + system) a live process has used so far, from /proc.
double cpuSeconds(pid_t pid);

// The throw-away sshd that `script` (ssh_baseline.sh) starts on a high loopback port, for a user
// whose login shell is /bin/sh, with a master connection; until destroyed. Its details are the
// KEY=VALUE words the script prints: SSH_PORT, SSH_USER, SSH_DIR, SSH_CONTROL, SSHD_PID.
class SshBaseline {
 public:
  explicit SshBaseline(const std::string& script);
  ~SshBaseline();
  SshBaseline(const SshBaseline&) = delete;
  SshBaseline& operator=(const SshBaseline&) = delete;

  // False when the script could not start it (no sshd, not root).
  bool available() const { return values_.count("SSH_CONTROL") > 0; }
  // Empty for a key the script did not print.
  std::string operator[](const std::string& key) const {
    auto found = values_.find(key);
    return found == values_.end() ? std::string() : found->second;
  }

 private:
  std::map<std::string, std::string> values_;
};

// The lumora-agent program on a free loopback port with a home of its own, until destroyed.
class AgentUnderTest {
 public:
  // Extra environment entries (e.g. DISPLAY=:5) and arguments go to the agent. Throws when it
  // does not report serving within ten seconds.
  AgentUnderTest(std::vector<std::string> extraEnv, std::vector<std::string> extraArgs);
  ~AgentUnderTest();
  AgentUnderTest(const AgentUnderTest&) = delete;
  AgentUnderTest& operator=(const AgentUnderTest&) = delete;

  pid_t pid() const { return pid_; }
  std::uint16_t controlPort() const;
  std::uint16_t mediaPort() const;
  protocol::PairingSecret secret() const;
  // The lumora://pair?… link from the status file.
  std::string pairingLink() const;

 private:
  void release();

  std::filesystem::path home_;
  pid_t pid_ = -1;
  boost::json::object status_;
};

}  // namespace lumora::bench
