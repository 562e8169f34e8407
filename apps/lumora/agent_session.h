#pragma once

#include <optional>
#include <string>

#include "protocol/pairing_payload.h"
#include "relay_route.h"
#include "sdk/agent_control_client.h"

namespace lumora::cli {

// How this user on this machine introduces itself when pairing: $LUMORA_DEVICE_ID, else
// "lumora-cli <user>@<host name>". The agent only logs it, so it is meant for people.
std::string deviceIdentifier();

// Connects to `agent`'s control port and pairs. Throws Failure:
//   "agent unreachable: <system text>"  when the connection cannot be made;
//   "pairing rejected: <agent text>"    when the code is wrong or malformed.
sdk::AgentControlClient openSession(const protocol::PairingPayload& agent);

// The same through the agent's relay room: "relay unreachable: <why> (<room URL>)" when the
// room cannot be joined, then as above.
sdk::AgentControlClient openRelaySession(const RelayRoute& route, const std::string& code);

}  // namespace lumora::cli
