#include "relay_route.h"

#include "account_session.h"
#include "failure.h"
#include "protocol/pairing_secret.h"
#include "protocol/room_key.h"

namespace lumora::cli {

namespace {

// The fingerprint of the room key the agent's secret gives: the rooms' name.
std::string fingerprintOf(const protocol::PairingPayload& agent) {
  auto secret = protocol::PairingSecret::fromCode(agent.code);
  if (!secret) throw Failure("invalid pairing code");
  return protocol::RoomKey::derive(*secret).fingerprint();
}

}  // namespace

RelayRoute relayRooms(const std::string& serviceURL, const protocol::PairingPayload& agent) {
  const std::string control = relayBaseOf(serviceURL) + "/relay/" + fingerprintOf(agent);
  return {control, control + "-media", {}};
}

RelayRoute relayRouteTo(const protocol::PairingPayload& agent) {
  AccountSession session(AccountStore(AccountStore::defaultPath()));
  RelayRoute route = relayRooms(session.serviceURL(), agent);
  try {
    route.token = session.relayToken(fingerprintOf(agent)).token;
  } catch (const sdk::AccountServiceError& error) {
    std::string reason = reasonOf(std::current_exception());
    if (error.kind() == sdk::AccountServiceError::Kind::http && error.status() == 403) {
      reason += " (add the agent with `lumora devices add`)";
    }
    throw Failure("no relay token: " + reason);
  }
  return route;
}

}  // namespace lumora::cli
