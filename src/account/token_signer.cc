#include "account/token_signer.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <charconv>
#include <stdexcept>

#include "protocol/auth_crypto.h"
#include "protocol/base64.h"
#include "protocol/hex.h"

namespace lumora::account {
namespace {

constexpr char kSeparator = '\x1f';

std::string hmac(std::string_view key, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &length);
  return std::string(reinterpret_cast<const char*>(out), length);
}

}  // namespace

std::string base64url(std::string_view bytes) {
  return protocol::base64URLEncode(protocol::asBytes(bytes));
}

std::optional<std::string> fromBase64url(std::string_view text) {
  auto bytes = protocol::base64URLDecode(text);
  if (!bytes) return std::nullopt;
  return std::string(protocol::asText(*bytes));
}

TokenSigner::TokenSigner(std::string_view secret)
    : accessKey_(hmac(secret, "lumora access token")),
      relayKey_(hmac(secret, "lumora relay token")),
      registrationKey_(hmac(secret, "lumora registration nonce")) {}

std::string TokenSigner::sign(std::string_view kind, const std::string& key,
                              const Claims& claims) const {
  std::string payload = claims.subject;
  payload.push_back(kSeparator);
  payload += std::to_string(claims.expiresAt);
  payload.push_back(kSeparator);
  payload += claims.room;
  std::string token(kind);
  token += '.';
  token += base64url(payload);
  token += '.' + base64url(hmac(key, token));
  return token;
}

std::optional<TokenSigner::Claims> TokenSigner::open(std::string_view kind, const std::string& key,
                                                     std::string_view token) const {
  if (token.size() > 1024 || !token.starts_with(kind) || token.size() <= kind.size() ||
      token[kind.size()] != '.') {
    return std::nullopt;
  }
  const auto lastDot = token.rfind('.');
  if (lastDot <= kind.size()) return std::nullopt;
  const std::string_view signedPart = token.substr(0, lastDot);
  const auto mac = fromBase64url(token.substr(lastDot + 1));
  const std::string expected = hmac(key, signedPart);
  if (!mac || mac->size() != expected.size() ||
      CRYPTO_memcmp(mac->data(), expected.data(), expected.size()) != 0) {
    return std::nullopt;
  }
  const auto payload = fromBase64url(signedPart.substr(kind.size() + 1));
  if (!payload) return std::nullopt;
  const auto first = payload->find(kSeparator);
  const auto second = payload->find(kSeparator, first + 1);
  if (first == std::string::npos || second == std::string::npos) return std::nullopt;
  Claims claims;
  claims.subject = payload->substr(0, first);
  const char* begin = payload->data() + first + 1;
  const char* end = payload->data() + second;
  if (std::from_chars(begin, end, claims.expiresAt).ptr != end) return std::nullopt;
  claims.room = payload->substr(second + 1);
  return claims;
}

std::string TokenSigner::issueAccessToken(const std::string& userId, Millis expiresAt) const {
  return sign("la1", accessKey_, {userId, expiresAt, {}});
}

std::optional<std::string> TokenSigner::verifyAccessToken(std::string_view token,
                                                          Millis now) const {
  auto claims = open("la1", accessKey_, token);
  if (!claims || claims->expiresAt <= now) return std::nullopt;
  return std::move(claims->subject);
}

std::string TokenSigner::issueRelayToken(const std::string& userId, const std::string& room,
                                         Millis expiresAt) const {
  return sign("lr1", relayKey_, {userId, expiresAt, room});
}

std::optional<TokenSigner::RelayGrant> TokenSigner::openRelayToken(std::string_view token,
                                                                   Millis now) const {
  auto claims = open("lr1", relayKey_, token);
  if (!claims || claims->expiresAt <= now) return std::nullopt;
  return RelayGrant{std::move(claims->subject), std::move(claims->room)};
}

std::string TokenSigner::issueRegistrationNonce(const std::string& userId, Millis expiresAt) const {
  return sign("ln1", registrationKey_,
              {userId, expiresAt, protocol::hexString(protocol::AuthCrypto::randomNonce(16))});
}

bool TokenSigner::verifyRegistrationNonce(std::string_view nonce, const std::string& userId,
                                          Millis now) const {
  auto claims = open("ln1", registrationKey_, nonce);
  return claims && claims->subject == userId && claims->expiresAt > now;
}

bool TokenSigner::roomAdmits(std::string_view tokenRoom, std::string_view room) {
  return room == tokenRoom || (room.size() == tokenRoom.size() + 6 && room.starts_with(tokenRoom) &&
                               room.ends_with("-media"));
}

std::string TokenSigner::newRefreshToken() {
  return "lf1." + protocol::AuthCrypto::randomToken(32);
}

std::string TokenSigner::refreshTokenHash(std::string_view token) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(token.data()), token.size(), digest);
  return protocol::hexString(protocol::ByteView(digest, sizeof digest));
}

}  // namespace lumora::account
