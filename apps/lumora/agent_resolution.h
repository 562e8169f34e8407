#pragma once

#include <optional>
#include <string>

#include "agent_store.h"
#include "protocol/pairing_payload.h"

namespace lumora::cli {

// Parses a pairing link; Failure("invalid pairing link: …") when it is not one.
protocol::PairingPayload parseLink(const std::string& link);

// Which agent a command talks to: the explicit link first, then the environment's, then the
// stored agent of that name (or the current one). Throws Failure when none applies.
protocol::PairingPayload resolveAgent(const std::optional<std::string>& link,
                                      const std::optional<std::string>& environmentLink,
                                      const AgentStore& store,
                                      const std::optional<std::string>& name);

}  // namespace lumora::cli
