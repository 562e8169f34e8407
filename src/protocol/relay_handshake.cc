#include "protocol/relay_handshake.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace lumora::protocol {

namespace {

constexpr std::uint8_t kVersion = 1;
constexpr std::uint8_t kHello = 1;
constexpr std::uint8_t kChallenge = 2;
constexpr std::uint8_t kProof = 3;
constexpr std::size_t kMacSize = 32;

Bytes concat(std::initializer_list<ByteView> parts) {
  Bytes out;
  for (ByteView part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes proofKey(ByteView secret) {
  return AuthCrypto::hkdf(secret, {}, "lumora relay v1 proof key", 32);
}

// "agent" or "phone", 0x00, the channel's label, 0x00, both nonces.
Bytes proofMac(ByteView secret, std::string_view who, RelayChannel channel, ByteView phoneNonce,
               ByteView agentNonce) {
  static const std::uint8_t kZero = 0;
  const ByteView zero(&kZero, 1);
  return AuthCrypto::mac(proofKey(secret), concat({asBytes(who), zero, asBytes(labelOf(channel)),
                                                   zero, phoneNonce, agentNonce}));
}

RelaySessionKeys sessionKeys(ByteView secret, RelayChannel channel, ByteView phoneNonce,
                             ByteView agentNonce) {
  const Bytes salt = concat({phoneNonce, agentNonce});
  const std::string label(labelOf(channel));
  return {AuthCrypto::hkdf(secret, salt, "lumora relay v1 agent to phone " + label, 32),
          AuthCrypto::hkdf(secret, salt, "lumora relay v1 phone to agent " + label, 32)};
}

bool isMessage(ByteView message, std::uint8_t type, std::size_t size) {
  return message.size() == size && message[0] == kVersion && message[1] == type;
}

bool sameMac(ByteView a, ByteView b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void requireNonce(const Bytes& nonce) {
  if (nonce.size() != RelayHandshake::kNonceSize) {
    throw std::invalid_argument("a relay handshake nonce is 32 bytes");
  }
}

}  // namespace

std::string_view labelOf(RelayChannel channel) {
  return channel == RelayChannel::control ? "control" : "media";
}

RelayHandshakePhone::RelayHandshakePhone(const PairingSecret& secret, RelayChannel channel,
                                         Bytes phoneNonce)
    : secret_(secret.data), channel_(channel), phoneNonce_(std::move(phoneNonce)) {
  requireNonce(phoneNonce_);
}

Bytes RelayHandshakePhone::hello() const {
  Bytes message{kVersion, kHello};
  message.insert(message.end(), phoneNonce_.begin(), phoneNonce_.end());
  return message;
}

std::optional<Bytes> RelayHandshakePhone::answer(ByteView challenge) {
  if (!isMessage(challenge, kChallenge, RelayHandshake::kChallengeSize)) return std::nullopt;
  const ByteView agentNonce = challenge.subspan(2, RelayHandshake::kNonceSize);
  const ByteView agentMac = challenge.subspan(2 + RelayHandshake::kNonceSize, kMacSize);
  if (!sameMac(agentMac, proofMac(secret_, "agent", channel_, phoneNonce_, agentNonce))) {
    return std::nullopt;
  }
  keys_ = sessionKeys(secret_, channel_, phoneNonce_, agentNonce);
  Bytes proof{kVersion, kProof};
  const Bytes mac = proofMac(secret_, "phone", channel_, phoneNonce_, agentNonce);
  proof.insert(proof.end(), mac.begin(), mac.end());
  return proof;
}

RelayHandshakeAgent::RelayHandshakeAgent(const PairingSecret& secret, RelayChannel channel,
                                         Bytes agentNonce)
    : secret_(secret.data), channel_(channel), agentNonce_(std::move(agentNonce)) {
  requireNonce(agentNonce_);
}

std::optional<Bytes> RelayHandshakeAgent::challenge(ByteView hello) {
  if (!isMessage(hello, kHello, RelayHandshake::kHelloSize)) return std::nullopt;
  phoneNonce_.assign(hello.begin() + 2, hello.end());
  Bytes message{kVersion, kChallenge};
  message.insert(message.end(), agentNonce_.begin(), agentNonce_.end());
  const Bytes mac = proofMac(secret_, "agent", channel_, phoneNonce_, agentNonce_);
  message.insert(message.end(), mac.begin(), mac.end());
  return message;
}

bool RelayHandshakeAgent::verify(ByteView proof) {
  if (phoneNonce_.empty() || !isMessage(proof, kProof, RelayHandshake::kProofSize)) return false;
  if (!sameMac(proof.subspan(2), proofMac(secret_, "phone", channel_, phoneNonce_, agentNonce_))) {
    return false;
  }
  keys_ = sessionKeys(secret_, channel_, phoneNonce_, agentNonce_);
  return true;
}

}  // namespace lumora::protocol
