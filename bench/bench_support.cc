#include "bench_support.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/spawn.h"

namespace lumora::bench {

void parseOptions(int argc, char** argv, const std::string& usage,
                  std::vector<cli::OptionSpec> options,
                  const std::function<void(const cli::ParsedArgs&)>& read) {
  const std::string program = std::filesystem::path(argv[0]).filename().string();
  options.push_back({"help,h", "", "show this help"});
  try {
    const cli::ParsedArgs parsed =
        cli::parseArgs(std::vector<std::string>(argv + 1, argv + argc), options);
    if (parsed.has("help")) {
      std::printf("%s\n\n%s", usage.c_str(), cli::describeOptions(options).c_str());
      std::exit(0);
    }
    if (!parsed.positionals.empty()) {
      throw cli::UsageError("unexpected word '" + parsed.positionals.front() + "'");
    }
    read(parsed);
  } catch (const cli::UsageError& e) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", program.c_str(), e.what(), program.c_str());
    std::exit(2);
  }
}

Stats percentiles(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
  };
  return {at(0.50), at(0.99)};
}

double percentile(std::vector<double> samples, double q) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
}

int runToEnd(const std::vector<std::string>& args) {
  return testing_support::waitForExit(testing_support::spawnProcess(args));
}

SshBaseline::SshBaseline(const std::string& script) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return;
  const pid_t setup = testing_support::spawnProcess({script}, {.outputFd = pipeFds[1]});
  ::close(pipeFds[1]);
  std::string printed;
  char c;
  while (::read(pipeFds[0], &c, 1) == 1) printed += c;
  ::close(pipeFds[0]);
  testing_support::waitForExit(setup);
  std::istringstream words(printed);
  for (std::string word; words >> word;) {
    const auto eq = word.find('=');
    if (eq != std::string::npos) values_[word.substr(0, eq)] = word.substr(eq + 1);
  }
}

SshBaseline::~SshBaseline() {
  if (!available()) return;
  runToEnd({"ssh", "-S", (*this)["SSH_CONTROL"], "-O", "exit", "x"});
  ::kill(std::stoi((*this)["SSHD_PID"]), SIGTERM);
  std::error_code ignored;  // sshd may still be removing its pid file
  std::filesystem::remove_all((*this)["SSH_DIR"], ignored);
}

}  // namespace lumora::bench
