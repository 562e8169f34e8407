#pragma once

#include <future>
#include <memory>
#include <string>

#include "protocol/payload.h"
#include "sdk/internal/control_core.h"

namespace lumora::sdk::internal {

// Sends `payload` one way; the future is ready once the channel has taken it.
std::future<void> sendOneWay(ControlCore& core, protocol::Payload payload);

// Asks the agent to end a terminal session. When its answer arrives (an error included) the
// session's output stream ends first; then the answer must be ack.
std::future<void> closeTerminal(const std::shared_ptr<ControlCore>& core, std::string sessionId);

}  // namespace lumora::sdk::internal
