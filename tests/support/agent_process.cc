#include "support/agent_process.h"

#include <signal.h>

#include <boost/json/parse.hpp>

#include <chrono>
#include <thread>

#include "support/spawn.h"

namespace lumora::testing_support {

AgentProcess::AgentProcess(std::vector<std::string> environment, std::vector<std::string> arguments)
    : home_(&ownHome_) {
  start(std::move(arguments), std::move(environment));
  waitUntilServing();
}

AgentProcess::AgentProcess(const TempDir& home, bool resetPairing, bool waitUntilServing)
    : home_(&home) {
  start(resetPairing ? std::vector<std::string>{"--reset-pairing"} : std::vector<std::string>{},
        {});
  if (waitUntilServing) this->waitUntilServing();
}

void AgentProcess::start(std::vector<std::string> arguments, std::vector<std::string> environment) {
  std::vector<std::string> argv = {LUMORA_AGENT_BINARY, "--port", "0", "--no-qr"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  environment.insert(environment.begin(), {"HOME=" + home_->path().string(), "PATH=/usr/bin:/bin"});
  const std::string log = *home_ / "agent.log";
  pid_ = spawnProcess(argv, {.environment = std::move(environment), .output = log, .error = log});
}

std::string AgentProcess::binary() { return LUMORA_AGENT_BINARY; }

AgentProcess::~AgentProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitForExit(pid_);
  }
}

bool AgentProcess::waitUntilServing() {
  for (int i = 0; i < 500 && pid_ > 0 && status_.empty(); ++i) {
    boost::system::error_code ec;
    auto status = boost::json::parse(contentOf(*home_ / ".lumora/agent-status.json"), ec);
    const auto* running =
        !ec && status.is_object() ? status.as_object().if_contains("running") : nullptr;
    if (running && running->is_bool() && running->as_bool()) {
      status_ = std::move(status.as_object());
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return serving();
}

std::uint16_t AgentProcess::port(const char* key) const {
  const auto* value = status_.if_contains(key);
  return value && value->is_int64() ? static_cast<std::uint16_t>(value->as_int64()) : 0;
}

protocol::PairingSecret AgentProcess::secret() const {
  return protocol::PairingSecret::fromCode(std::string(status_.at("pairingCode").as_string()))
      .value();
}

std::string AgentProcess::link() const {
  return std::string(status_.at("pairingLink").as_string());
}

std::string AgentProcess::log() const { return contentOf(*home_ / "agent.log"); }

int AgentProcess::terminate() {
  ::kill(pid_, SIGTERM);
  const int status = waitForExit(pid_);
  pid_ = -1;
  return status;
}

}  // namespace lumora::testing_support
