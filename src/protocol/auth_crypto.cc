#include "protocol/auth_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <stdexcept>

#include "protocol/base64.h"

namespace lumora::protocol::AuthCrypto {

Bytes randomNonce(std::size_t byteCount) {
  Bytes out(byteCount);
  if (byteCount > 0 && RAND_bytes(out.data(), static_cast<int>(byteCount)) != 1) {
    throw std::runtime_error("secure random source unavailable");
  }
  return out;
}

std::string randomToken(std::size_t byteCount) { return base64URLEncode(randomNonce(byteCount)); }

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

Bytes hkdf(ByteView ikm, ByteView salt, std::string_view info, std::size_t length) {
  Bytes out(length);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
  static const unsigned char kEmpty = 0;
  const bool derived =
      context != nullptr && EVP_PKEY_derive_init(context) == 1 &&
      EVP_PKEY_CTX_set_hkdf_md(context, EVP_sha256()) == 1 &&
      EVP_PKEY_CTX_set1_hkdf_salt(context, salt.empty() ? &kEmpty : salt.data(),
                                  static_cast<int>(salt.size())) == 1 &&
      EVP_PKEY_CTX_set1_hkdf_key(context, ikm.empty() ? &kEmpty : ikm.data(),
                                 static_cast<int>(ikm.size())) == 1 &&
      EVP_PKEY_CTX_add1_hkdf_info(context, reinterpret_cast<const unsigned char*>(info.data()),
                                  static_cast<int>(info.size())) == 1 &&
      EVP_PKEY_derive(context, out.data(), &length) == 1 && length == out.size();
  EVP_PKEY_CTX_free(context);
  if (!derived) throw std::runtime_error("HKDF failed");
  return out;
}

}  // namespace lumora::protocol::AuthCrypto
