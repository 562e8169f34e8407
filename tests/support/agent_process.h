#pragma once

// The lumora-agent program as tests drive it: a private home, ephemeral ports, no QR code,
// and only the environment the test gives it (no display unless it names one) plus the run's
// sanitizer settings. Needs
// LUMORA_AGENT_BINARY defined to the program's path.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <boost/json/parse.hpp>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/pairing_secret.h"
#include "support/sanitizer_environment.h"
#include "support/temp_dir.h"

namespace lumora::testing_support {

class AgentProcess {
 public:
  struct Options {
    bool resetPairing = false;
    std::vector<std::string> extraEnvironment;  // e.g. "DISPLAY=:3"
  };

  explicit AgentProcess(const TempDir& home) : AgentProcess(home, Options()) {}
  AgentProcess(const TempDir& home, Options options) : home_(home) {
    std::vector<std::string> environment = {"HOME=" + home.path().string(), "PATH=/usr/bin:/bin"};
    environment.insert(environment.end(), options.extraEnvironment.begin(),
                       options.extraEnvironment.end());
    for (auto& entry : sanitizerEnvironment()) environment.push_back(std::move(entry));
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const char* argv[] = {LUMORA_AGENT_BINARY, "--port", "0", "--no-qr",
                          options.resetPairing ? "--reset-pairing" : nullptr, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = (home.path() / "agent.log").string();
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
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

  pid_t pid() const { return pid_; }

  // The status file once it reports the agent serving; empty if it never does (the limit only
  // guards against a hang).
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

  // Where a serving agent listens and the secret it published (media port 0: no display, so
  // no media channel).
  struct Serving {
    std::uint16_t controlPort = 0;
    std::uint16_t mediaPort = 0;
    protocol::PairingSecret secret;
  };

  // Nothing when the agent never reports serving; log() then says why.
  std::optional<Serving> waitForServing() const {
    const boost::json::object status = waitUntilServing();
    if (status.empty()) return std::nullopt;
    auto port = [&](const char* key) {
      const auto* value = status.if_contains(key);
      return value && value->is_int64() ? static_cast<std::uint16_t>(value->as_int64())
                                        : std::uint16_t{0};
    };
    const auto* code = status.if_contains("pairingCode");
    auto secret = code && code->is_string()
                      ? protocol::PairingSecret::fromCode(std::string(code->get_string()))
                      : std::nullopt;
    if (!secret) return std::nullopt;
    return Serving{port("controlPort"), port("mediaPort"), *secret};
  }

  // SIGTERM, then the exit status (128 + signal when it died of one).
  int terminate() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Everything the agent printed so far.
  std::string log() const { return read(home_.path() / "agent.log"); }

  static std::string read(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  const TempDir& home_;
  pid_t pid_ = -1;
};

}  // namespace lumora::testing_support
