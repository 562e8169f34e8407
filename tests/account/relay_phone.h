#pragma once

// The phone's end of a protected relay room, by hand over a RelayClient: for tests that watch
// what crosses the relay, or that play a phone that does not follow the protocol.

#include <chrono>
#include <optional>
#include <string>

#include "account_client.h"
#include "protocol/relay_cipher.h"
#include "protocol/relay_handshake.h"

namespace lumora::account::testing {

class RelayPhone {
 public:
  // Joins `room` of the service at `serviceUrl` with `token`; status() of socket() tells how.
  RelayPhone(const std::string& serviceUrl, const std::string& room, const std::string& token,
             const protocol::PairingSecret& secret, protocol::RelayChannel channel);

  RelayClient& socket() { return socket_; }

  // Sends the hello and waits for the agent's challenge: whether the agent proved the secret.
  // Then sends the proof (a wrong one when `wrongProof`).
  bool handshake(bool wrongProof = false);

  void sendSealed(const protocol::Bytes& plaintext);
  // The next message, opened; nothing when the room closed or the message did not open.
  std::optional<protocol::Bytes> receiveSealed(
      std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  RelayClient socket_;
  protocol::RelayHandshakePhone handshake_;
  std::optional<protocol::RelayCiphers> ciphers_;
};

}  // namespace lumora::account::testing
