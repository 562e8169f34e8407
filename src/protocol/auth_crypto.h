#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "protocol/bytes.h"

namespace lumora::protocol::AuthCrypto {

// Bytes from the cryptographically secure random source. Throws std::runtime_error only if
// the operating system cannot supply randomness.
Bytes randomNonce(std::size_t byteCount);

// `byteCount` bytes of that source in base64url: how bearer tokens, one-time codes and PKCE
// verifiers are made. Throws as randomNonce does.
std::string randomToken(std::size_t byteCount);

// HMAC-SHA256 with key `secret` over `nonce`: 32 bytes.
Bytes mac(ByteView secret, ByteView nonce);

// Whether `mac` is HMAC-SHA256(secret, nonce), compared in constant time.
bool verify(ByteView secret, ByteView nonce, ByteView mac);

// SHA-256 of `data`: 32 bytes.
Bytes sha256(ByteView data);

// HKDF with SHA-256 (extract, then expand to `length` bytes); an empty salt is the empty string.
// Throws std::runtime_error if the key derivation cannot run.
Bytes hkdf(ByteView ikm, ByteView salt, std::string_view info, std::size_t length);

}  // namespace lumora::protocol::AuthCrypto
