#include "protocol/relay_cipher.h"

#include <openssl/evp.h>

#include <array>
#include <limits>
#include <stdexcept>

namespace lumora::protocol {

namespace {

constexpr std::size_t kKeySize = 32;

std::array<unsigned char, 12> ivOf(std::uint64_t counter) {
  std::array<unsigned char, 12> iv{};
  for (int i = 0; i < 8; ++i) iv[11 - i] = static_cast<unsigned char>(counter >> (8 * i));
  return iv;
}

// OpenSSL takes lengths as int: messages are far smaller, but never let one wrap.
int checkedLength(std::size_t size) {
  if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw std::length_error("relay message too large to seal");
  }
  return static_cast<int>(size);
}

}  // namespace

void RelayCipher::ContextFree::operator()(evp_cipher_ctx_st* context) const {
  EVP_CIPHER_CTX_free(context);
}

RelayCipher::RelayCipher(ByteView key) : context_(EVP_CIPHER_CTX_new()) {
  if (key.size() != kKeySize) throw std::invalid_argument("a relay session key is 32 bytes");
  // The key is scheduled once; each message only sets its IV.
  if (!context_ ||
      EVP_CipherInit_ex(context_.get(), EVP_aes_256_gcm(), nullptr, key.data(), nullptr, 1) != 1) {
    throw std::runtime_error("cannot set up AES-256-GCM");
  }
}

RelayCipher::~RelayCipher() = default;
RelayCipher::RelayCipher(RelayCipher&&) noexcept = default;
RelayCipher& RelayCipher::operator=(RelayCipher&&) noexcept = default;

void RelayCipher::startMessage(bool encrypting) {
  if (counter_ == std::numeric_limits<std::uint64_t>::max()) {
    throw std::runtime_error("relay session exhausted");
  }
  const auto iv = ivOf(counter_);
  if (EVP_CipherInit_ex(context_.get(), nullptr, nullptr, nullptr, iv.data(), encrypting ? 1 : 0) !=
      1) {
    throw std::runtime_error("cannot start a relay message");
  }
}

Bytes RelayCipher::seal(Bytes message) {
  if (broken_) throw std::runtime_error("relay session broken");
  startMessage(true);
  int written = 0;
  const int length = checkedLength(message.size());
  // In place: GCM's output may overlap its input exactly.
  if ((length > 0 &&
       EVP_EncryptUpdate(context_.get(), message.data(), &written, message.data(), length) != 1) ||
      EVP_EncryptFinal_ex(context_.get(), message.data() + written, &written) != 1) {
    broken_ = true;
    throw std::runtime_error("cannot seal a relay message");
  }
  message.resize(message.size() + kTagSize);
  if (EVP_CIPHER_CTX_ctrl(context_.get(), EVP_CTRL_GCM_GET_TAG, kTagSize,
                          message.data() + message.size() - kTagSize) != 1) {
    broken_ = true;
    throw std::runtime_error("cannot seal a relay message");
  }
  ++counter_;
  return message;
}

std::optional<Bytes> RelayCipher::open(Bytes message) {
  if (broken_ || message.size() < kTagSize) {
    broken_ = true;
    return std::nullopt;
  }
  startMessage(false);
  const std::size_t size = message.size() - kTagSize;
  int written = 0;
  int finished = 0;
  const bool opened = EVP_CIPHER_CTX_ctrl(context_.get(), EVP_CTRL_GCM_SET_TAG, kTagSize,
                                          message.data() + size) == 1 &&
                      (size == 0 || EVP_DecryptUpdate(context_.get(), message.data(), &written,
                                                      message.data(), checkedLength(size)) == 1) &&
                      EVP_DecryptFinal_ex(context_.get(), message.data() + written, &finished) == 1;
  if (!opened) {
    broken_ = true;
    return std::nullopt;
  }
  message.resize(size);
  ++counter_;
  return message;
}

}  // namespace lumora::protocol
