#pragma once

#include "protocol/auth_crypto.h"
#include "protocol/pairing_secret.h"

namespace lumora::transport {

// Checks handshake proofs against the agent's pairing secret.
struct Authenticator {
  protocol::PairingSecret secret;

  bool verify(protocol::ByteView nonce, protocol::ByteView mac) const {
    return protocol::AuthCrypto::verify(secret.data, nonce, mac);
  }
};

}  // namespace lumora::transport
