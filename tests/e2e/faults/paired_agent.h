#pragma once

// Paired raw connections to a real agent.

#include <memory>

#include "support/agent_process.h"
#include "support/raw_client.h"

namespace lumora::faults {

using Serving = testing_support::AgentProcess::Serving;

// An authenticated connection; `receiveBuffer` as RawClient takes it.
inline std::unique_ptr<testing_support::RawClient> pairedClient(const Serving& serving,
                                                                int receiveBuffer = 0) {
  auto client = std::make_unique<testing_support::RawClient>(serving.controlPort, receiveBuffer);
  client->authenticate(serving.secret);
  return client;
}

}  // namespace lumora::faults
