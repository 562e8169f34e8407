#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "protocol/bytes.h"
#include "protocol/pairing_secret.h"

namespace lumora::protocol {

// The signing key a pairing secret gives its relay rooms (Ed25519, from an HKDF of the secret):
// its public half names the rooms, and proofs made with it show the relay and the account
// service that whoever hosts a room or registers a device knows the secret. The construction is
// written down in docs/relay-protocol.md.
//
// Immutable; safe to share between threads.
class RoomKey {
 public:
  static constexpr std::size_t kPublicKeySize = 32;
  static constexpr std::size_t kSignatureSize = 64;

  static RoomKey derive(const PairingSecret& secret);

  const Bytes& publicKey() const { return publicKey_; }
  // The room fingerprint: lower-case hex SHA-256 of the public key, the control room's name and
  // what the account service knows the device by.
  const std::string& fingerprint() const { return fingerprint_; }

  // Proves to the relay that this key's holder may host `room` (the control room or its
  // "-media" companion), answering the relay's `challenge`.
  Bytes hostProof(std::string_view room, ByteView challenge) const;
  // Proves to the account service that `account` registers this device, with the service's
  // `nonce`.
  Bytes registrationProof(std::string_view account, std::string_view nonce) const;

  Bytes sign(ByteView message) const;

 private:
  struct Signer;
  RoomKey(std::shared_ptr<const Signer> signer, Bytes publicKey);

  std::shared_ptr<const Signer> signer_;
  Bytes publicKey_;
  std::string fingerprint_;
};

// What the proofs above sign.
Bytes hostProofMessage(std::string_view room, ByteView challenge);
Bytes registrationMessage(std::string_view account, std::string_view nonce);

// The room fingerprint of a public key.
std::string roomFingerprint(ByteView publicKey);
// Whether `signature` is an Ed25519 signature of `message` under `publicKey`. False for a key or
// signature of the wrong size; never throws.
bool verifyRoomSignature(ByteView publicKey, ByteView message, ByteView signature);

}  // namespace lumora::protocol
