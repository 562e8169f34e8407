#pragma once

#include <string>

#include "protocol/pairing_payload.h"

namespace lumora::cli {

// The way to a paired agent through the account service's relay: its control and media rooms,
// named after the fingerprint of the room key its pairing code gives, and a token that admits
// this user to both.
struct RelayRoute {
  std::string controlURL;  // <relay base>/relay/<fingerprint>
  std::string mediaURL;    // the same with "-media"
  std::string token;
};

// The rooms of `agent` on the relay of the account service `serviceURL`.
RelayRoute relayRooms(const std::string& serviceURL, const protocol::PairingPayload& agent);

// The route to `agent` for the logged-in account, with a token asked of its service. Throws
// Failure: not logged in, "invalid pairing code", "no relay token: <why>" (403 when the agent
// is not among the account's devices: `lumora devices add` puts it there).
RelayRoute relayRouteTo(const protocol::PairingPayload& agent);

}  // namespace lumora::cli
