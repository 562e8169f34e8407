#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "protocol/auth_crypto.h"
#include "protocol/bytes.h"
#include "protocol/pairing_secret.h"

namespace lumora::protocol {

// Which relay room a handshake runs in: each runs its own, and one room's cannot be spliced into
// the other's.
enum class RelayChannel { control, media };
std::string_view labelOf(RelayChannel channel);

// The keys of one relay session, one per direction.
struct RelaySessionKeys {
  Bytes agentToPhone;
  Bytes phoneToAgent;
};

// The three-message handshake the phone and the agent run through a relay room before anything
// else, proving to each other that they know the pairing secret and deriving the session's keys
// (docs/relay-protocol.md, section 2):
//   hello     phone → agent   0x01 0x01 Np
//   challenge agent → phone   0x01 0x02 Na MACa
//   proof     phone → agent   0x01 0x03 MACp
// Pure: no I/O. Nonces are fresh random bytes unless a test gives its own.
namespace RelayHandshake {
inline constexpr std::size_t kNonceSize = 32;
inline constexpr std::size_t kHelloSize = 34;
inline constexpr std::size_t kChallengeSize = 66;
inline constexpr std::size_t kProofSize = 34;
}  // namespace RelayHandshake

// The phone's side.
class RelayHandshakePhone {
 public:
  RelayHandshakePhone(const PairingSecret& secret, RelayChannel channel,
                      Bytes phoneNonce = AuthCrypto::randomNonce(RelayHandshake::kNonceSize));

  Bytes hello() const;
  // The proof answering the agent's challenge; nothing when the message is not a challenge or
  // the agent's MAC does not verify: the other end does not know the secret.
  std::optional<Bytes> answer(ByteView challenge);
  // Once answer() has succeeded.
  const RelaySessionKeys& keys() const { return keys_; }

 private:
  Bytes secret_;
  RelayChannel channel_;
  Bytes phoneNonce_;
  RelaySessionKeys keys_;
};

// The agent's side.
class RelayHandshakeAgent {
 public:
  RelayHandshakeAgent(const PairingSecret& secret, RelayChannel channel,
                      Bytes agentNonce = AuthCrypto::randomNonce(RelayHandshake::kNonceSize));

  // The challenge answering a phone's hello; nothing when the message is not a hello.
  std::optional<Bytes> challenge(ByteView hello);
  // Whether `proof` shows that the phone knows the secret (compared in constant time); false
  // before a challenge. Afterwards keys() holds the session's keys.
  bool verify(ByteView proof);
  const RelaySessionKeys& keys() const { return keys_; }

 private:
  Bytes secret_;
  RelayChannel channel_;
  Bytes agentNonce_;
  Bytes phoneNonce_;
  RelaySessionKeys keys_;
};

}  // namespace lumora::protocol
