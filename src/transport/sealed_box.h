#pragma once

#include <optional>

#include "protocol/bytes.h"

namespace lumora::transport::SealedBox {

// AES-256-GCM in its combined form: a fresh 12-byte nonce, the ciphertext, the 16-byte tag.
inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;

// `key` must be 32 bytes. Throws std::runtime_error if the cipher cannot be set up.
protocol::Bytes seal(protocol::ByteView key, protocol::ByteView plaintext);

// The plaintext, or nothing when the box is malformed or does not open under `key`.
std::optional<protocol::Bytes> open(protocol::ByteView key, protocol::ByteView box);

}  // namespace lumora::transport::SealedBox
