#include "transport/sealed_box.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

#include "protocol/auth_crypto.h"

namespace lumora::transport::SealedBox {
namespace {

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext newContext() { return CipherContext(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free); }

}  // namespace

protocol::Bytes seal(protocol::ByteView key, protocol::ByteView plaintext) {
  if (key.size() != 32) throw std::invalid_argument("AES-256-GCM needs a 32-byte key");
  protocol::Bytes box = protocol::AuthCrypto::randomNonce(kNonceSize);
  box.resize(kNonceSize + plaintext.size() + kTagSize);
  CipherContext context = newContext();
  int length = 0;
  if (!context ||
      EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), box.data()) != 1 ||
      EVP_EncryptUpdate(context.get(), box.data() + kNonceSize, &length, plaintext.data(),
                        static_cast<int>(plaintext.size())) != 1 ||
      EVP_EncryptFinal_ex(context.get(), box.data() + kNonceSize + length, &length) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize),
                          box.data() + kNonceSize + plaintext.size()) != 1) {
    throw std::runtime_error("encryption failed");
  }
  return box;
}

std::optional<protocol::Bytes> open(protocol::ByteView key, protocol::ByteView box) {
  if (key.size() != 32 || box.size() < kNonceSize + kTagSize) return std::nullopt;
  const std::size_t size = box.size() - kNonceSize - kTagSize;
  protocol::Bytes plaintext(size);
  protocol::Bytes tag(box.end() - kTagSize, box.end());
  CipherContext context = newContext();
  int length = 0;
  if (!context ||
      EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), box.data()) != 1 ||
      EVP_DecryptUpdate(context.get(), plaintext.data(), &length, box.data() + kNonceSize,
                        static_cast<int>(size)) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize),
                          tag.data()) != 1 ||
      EVP_DecryptFinal_ex(context.get(), plaintext.data() + length, &length) != 1) {
    return std::nullopt;
  }
  return plaintext;
}

}  // namespace lumora::transport::SealedBox
