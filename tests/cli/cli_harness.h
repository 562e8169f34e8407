#pragma once

// Runs the real programs for the command-line tests: the agent on a private Xvfb with a home
// of its own, and the lumora program with a home of the test's.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json/parse.hpp>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/agent_process.h"
#include "support/sanitizer_environment.h"
#include "support/temp_dir.h"

namespace lumora::cli::test {

inline pid_t spawnWith(const std::vector<std::string>& args, const std::vector<std::string>& env,
                       const std::string& in, const std::string& out, const std::string& err) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

// lumora-agent on `display` with a private home, until destroyed.
class Agent {
 public:
  explicit Agent(const std::string& display)
      : process_(home_, {.resetPairing = false, .extraEnvironment = {"DISPLAY=" + display}}),
        status_(process_.waitUntilServing()) {}

  bool serving() const { return !status_.empty(); }
  std::string field(const char* name) const {
    const auto& value = status_.at(name);
    return value.is_string() ? std::string(value.as_string()) : std::to_string(value.as_int64());
  }
  // The link built from the status file's fields, as a person would type it.
  std::string link() const {
    return "lumora://pair?host=" + field("host") + "&cp=" + field("controlPort") +
           "&mp=" + field("mediaPort") + "&code=" + field("pairingCode");
  }
  const testing_support::TempDir& home() const { return home_; }
  std::string log() const { return process_.log(); }

 private:
  testing_support::TempDir home_;
  testing_support::AgentProcess process_;
  boost::json::object status_;
};

struct Outcome {
  int status = -1;  // the exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs lumora to the end with HOME = `home` and the extra environment entries.
inline Outcome runLumora(const testing_support::TempDir& home, std::vector<std::string> args,
                         std::vector<std::string> env = {}, const std::string& in = "/dev/null") {
  args.insert(args.begin(), LUMORA_CLI_BINARY);
  env.push_back("HOME=" + home.path().string());
  env.push_back("PATH=/usr/bin:/bin");
  for (auto& entry : testing_support::sanitizerEnvironment()) env.push_back(std::move(entry));
  pid_t pid = spawnWith(args, env, in, home / "lumora.out", home / "lumora.err");
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
          testing_support::contentOf(home / "lumora.out"),
          testing_support::contentOf(home / "lumora.err")};
}

}  // namespace lumora::cli::test
