#pragma once

// What the benchmarks that drive real programs share beyond the test toolkit (which starts the
// processes and the agent, and reads the process table): options, percentiles, an ssh baseline.

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "command_line/cli_args.h"
#include "support/screen_animator.h"

namespace lumora::bench {

// Reads a benchmark's command line by `options` and hands it to `read`, which takes out the
// values it needs. --help prints `usage` and the options and exits 0; a mistake, in the command
// line or in a value that `read` refuses (command_line::UsageError), prints one line and exits 2,
// so a mistyped option never starts a long run.
void parseOptions(int argc, char** argv, const std::string& usage,
                  std::vector<command_line::OptionSpec> options,
                  const std::function<void(const command_line::ParsedArgs&)>& read);

struct Stats {
  double p50 = 0;
  double p99 = 0;
};
// Of a non-empty sample.
Stats percentiles(std::vector<double> samples);
// The q-quantile (0…1, nearest rank below) of a non-empty sample.
double percentile(std::vector<double> samples, double q);

// CPU seconds (user + system) `pid` has used so far; 0 once it is gone.
double cpuSeconds(pid_t pid);

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

// Desktop-like content for the screen animator, painted once: three screens tall of what looks
// like application windows (panels with title bars, lines of word-sized marks standing in for
// text, gradients standing in for images).
//   scrollingDesktop — scrolling past the whole screen 60 times a second, as a page scrolls in a
//                      browser;
//   scrollingBox     — cycling inside one 256 × 256 box, the rest of the screen still.
testing_support::ScreenAnimator::Content scrollingDesktop();
testing_support::ScreenAnimator::Content scrollingBox();

}  // namespace lumora::bench
