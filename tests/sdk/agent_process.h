#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <boost/json/parse.hpp>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace lumora::sdk::test_support {

// The lumora-agent program started with a private home, ephemeral ports and no display;
// killed when the object goes.
class AgentProcess {
 public:
  explicit AgentProcess(const testing_support::TempDir& home) : home_(home) {
    std::vector<std::string> environment = {"HOME=" + home.path().string(), "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const char* argv[] = {LUMORA_AGENT_BINARY, "--port", "0", "--no-qr", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = (home.path() / "agent.log").string();
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), envp.data()) !=
        0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~AgentProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // The status file once it reports the agent serving; empty if it never does.
  boost::json::object waitUntilServing() const {
    for (int i = 0; i < 500 && pid_ > 0; ++i) {
      boost::system::error_code ec;
      auto status = boost::json::parse(read(home_.path() / ".lumora/agent-status.json"), ec);
      if (!ec && status.is_object() && status.as_object().at("running").as_bool()) {
        return status.as_object();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
  }

  std::string log() const { return read(home_.path() / "agent.log"); }

 private:
  static std::string read(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  const testing_support::TempDir& home_;
  pid_t pid_ = -1;
};

}  // namespace lumora::sdk::test_support
