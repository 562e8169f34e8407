#pragma once

// The real lumora-agent in a private home, started and waited for until it serves, with what a
// test needs to reach it: its ports, its pairing secret and its process id.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/pairing_secret.h"
#include "support/agent_process.h"
#include "support/temp_dir.h"

namespace lumora::load {

class ServingAgent {
 public:
  // `environment` is added to the agent's (for example a DISPLAY to stream from).
  explicit ServingAgent(std::vector<std::string> environment = {})
      : process_(home_, {.resetPairing = false, .extraEnvironment = std::move(environment)}),
        serving_(process_.waitForServing()) {}

  // False when the agent never reported serving; log() then says why.
  bool serving() const { return serving_.has_value(); }
  std::uint16_t controlPort() const { return serving_->controlPort; }
  // 0 without a display: the agent then has no media channel.
  std::uint16_t mediaPort() const { return serving_->mediaPort; }
  const protocol::PairingSecret& secret() const { return serving_->secret; }
  std::string pairingCode() const { return serving_->secret.code(); }
  pid_t pid() const { return process_.pid(); }
  std::string log() const { return process_.log(); }
  const testing_support::TempDir& home() const { return home_; }

 private:
  testing_support::TempDir home_;
  testing_support::AgentProcess process_;
  std::optional<testing_support::AgentProcess::Serving> serving_;
};

}  // namespace lumora::load
