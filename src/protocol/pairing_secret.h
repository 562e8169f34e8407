#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/bytes.h"

namespace lumora::protocol {

// The key a phone must prove it knows. It reaches the phone out of band as the pairing code.
struct PairingSecret {
  Bytes data;

  // 16 bytes from the cryptographically secure random source.
  static PairingSecret generate();

  // Parses a pairing code: spaces and hyphens anywhere are ignored, letter case too; what is
  // left must be exactly 32 hexadecimal digits.
  static std::optional<PairingSecret> fromCode(std::string_view code);

  // Every byte as two lower-case hex digits: 32 characters for a generated secret.
  std::string code() const;
  // Lower-case hex SHA-256 of the bytes (64 characters): names the secret without revealing it.
  std::string fingerprint() const;

  bool operator==(const PairingSecret&) const = default;
};

}  // namespace lumora::protocol
