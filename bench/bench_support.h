#pragma once

// What the benchmarks that drive real programs share beyond the test toolkit (which starts the
// processes and the agent, and reads the process table): options, percentiles, an ssh baseline.

#include <map>
#include <string>
#include <vector>

namespace lumora::bench {

// The `--name value` options of a benchmark's command line: any name in `defaults` may be given
// and the rest keep their default. Anything else, a missing value, or --help prints `usage` and
// exits (status 0 for --help, 2 otherwise), so a mistyped option never starts a long run.
std::map<std::string, std::string> parseOptions(int argc, char** argv,
                                                std::map<std::string, std::string> defaults,
                                                const char* usage);

struct Stats {
  double p50 = 0;
  double p99 = 0;
};
// Of a non-empty sample.
Stats percentiles(std::vector<double> samples);
// The q-quantile (0…1, nearest rank below) of a non-empty sample.
double percentile(std::vector<double> samples, double q);

// Runs `args` (looked up on PATH) to its end with its output discarded: the exit status.
int runToEnd(const std::vector<std::string>& args);

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

}  // namespace lumora::bench
