#include "protocol/room_key.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "protocol/auth_crypto.h"
#include "protocol/hex.h"

namespace lumora::protocol {

namespace {

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

Bytes joined(std::string_view label, std::string_view first, ByteView second) {
  Bytes out;
  out.reserve(label.size() + first.size() + second.size() + 2);
  out.insert(out.end(), label.begin(), label.end());
  out.push_back(0);
  out.insert(out.end(), first.begin(), first.end());
  out.push_back(0);
  out.insert(out.end(), second.begin(), second.end());
  return out;
}

}  // namespace

struct RoomKey::Signer {
  PKey key{nullptr, EVP_PKEY_free};
};

RoomKey::RoomKey(std::shared_ptr<const Signer> signer, Bytes publicKey)
    : signer_(std::move(signer)),
      publicKey_(std::move(publicKey)),
      fingerprint_(roomFingerprint(publicKey_)) {}

RoomKey RoomKey::derive(const PairingSecret& secret) {
  const Bytes seed = AuthCrypto::hkdf(secret.data, {}, "lumora relay v1 room key", 32);
  auto signer = std::make_shared<Signer>();
  signer->key.reset(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  Bytes publicKey(kPublicKeySize);
  std::size_t length = publicKey.size();
  if (!signer->key ||
      EVP_PKEY_get_raw_public_key(signer->key.get(), publicKey.data(), &length) != 1 ||
      length != kPublicKeySize) {
    throw std::runtime_error("cannot make the room key");
  }
  return RoomKey(std::move(signer), std::move(publicKey));
}

Bytes RoomKey::sign(ByteView message) const {
  DigestContext context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  Bytes signature(kSignatureSize);
  std::size_t length = signature.size();
  if (!context ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, signer_->key.get()) != 1 ||
      EVP_DigestSign(context.get(), signature.data(), &length, message.data(), message.size()) !=
          1 ||
      length != kSignatureSize) {
    throw std::runtime_error("cannot sign with the room key");
  }
  return signature;
}

Bytes RoomKey::hostProof(std::string_view room, ByteView challenge) const {
  return sign(hostProofMessage(room, challenge));
}

Bytes RoomKey::registrationProof(std::string_view account, std::string_view nonce) const {
  return sign(registrationMessage(account, nonce));
}

Bytes hostProofMessage(std::string_view room, ByteView challenge) {
  return joined("lumora relay v1 host", room, challenge);
}

Bytes registrationMessage(std::string_view account, std::string_view nonce) {
  return joined("lumora relay v1 register", account, asBytes(nonce));
}

std::string roomFingerprint(ByteView publicKey) { return hexString(AuthCrypto::sha256(publicKey)); }

bool verifyRoomSignature(ByteView publicKey, ByteView message, ByteView signature) {
  if (publicKey.size() != RoomKey::kPublicKeySize || signature.size() != RoomKey::kSignatureSize) {
    return false;
  }
  PKey key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()),
      EVP_PKEY_free);
  DigestContext context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return key && context &&
         EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(),
                          message.size()) == 1;
}

}  // namespace lumora::protocol
