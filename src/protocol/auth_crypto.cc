#include "protocol/auth_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace lumora::protocol::AuthCrypto {

Bytes randomNonce(std::size_t byteCount) {
  Bytes out(byteCount);
  if (byteCount > 0 && RAND_bytes(out.data(), static_cast<int>(byteCount)) != 1) {
    throw std::runtime_error("secure random source unavailable");
  }
  return out;
}

Bytes mac(ByteView secret, ByteView nonce) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  // An empty key still needs a valid pointer.
  static const unsigned char kEmpty = 0;
  HMAC(EVP_sha256(), secret.empty() ? &kEmpty : secret.data(), static_cast<int>(secret.size()),
       nonce.empty() ? &kEmpty : nonce.data(), nonce.size(), out.data(), &length);
  out.resize(length);
  return out;
}

bool verify(ByteView secret, ByteView nonce, ByteView candidate) {
  Bytes expected = mac(secret, nonce);
  return candidate.size() == expected.size() &&
         CRYPTO_memcmp(candidate.data(), expected.data(), expected.size()) == 0;
}

Bytes sha256(ByteView data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha256(), nullptr);
  out.resize(length);
  return out;
}

}  // namespace lumora::protocol::AuthCrypto
