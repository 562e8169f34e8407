#include "protocol/pairing_secret.h"

#include <algorithm>
#include <cctype>

#include "protocol/auth_crypto.h"
#include "protocol/hex.h"

namespace lumora::protocol {

PairingSecret PairingSecret::generate() { return PairingSecret{AuthCrypto::randomNonce(16)}; }

std::optional<PairingSecret> PairingSecret::fromCode(std::string_view code) {
  std::string digits;
  digits.reserve(code.size());
  for (char c : code) {
    if (c == ' ' || c == '-') continue;
    digits.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  if (digits.size() != 32) return std::nullopt;
  auto bytes = bytesFromHex(digits);
  if (!bytes) return std::nullopt;
  return PairingSecret{std::move(*bytes)};
}

std::string PairingSecret::code() const { return hexString(data); }

std::string PairingSecret::fingerprint() const { return hexString(AuthCrypto::sha256(data)); }

}  // namespace lumora::protocol
