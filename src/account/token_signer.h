#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "account/records.h"

namespace lumora::account {

// The service's own bearer tokens: self-contained and signed (HMAC-SHA256) with the secret the
// store shares between instances, so any instance checks them without the database.
//   access token: who, until when;
//   relay token: who, which room, until when (admits the room and its "-media" companion);
//   registration nonce: who, until when, and random bytes.
// Each kind is signed with its own key derived from the secret: one kind is never taken for
// the other.
//
// Immutable; safe from any thread.
class TokenSigner {
 public:
  explicit TokenSigner(std::string_view secret);

  std::string issueAccessToken(const std::string& userId, Millis expiresAt) const;
  // The user the token names, when it is ours, intact and not expired at `now`.
  std::optional<std::string> verifyAccessToken(std::string_view token, Millis now) const;

  std::string issueRelayToken(const std::string& userId, const std::string& room,
                              Millis expiresAt) const;
  struct RelayGrant {
    std::string userId;
    std::string room;
  };
  // Whom and which room a relay token was issued for, when it is ours, intact and not expired at
  // `now`. It admits its holder to that room and to the room's "-media" companion.
  std::optional<RelayGrant> openRelayToken(std::string_view token, Millis now) const;
  static bool roomAdmits(std::string_view tokenRoom, std::string_view room);

  // A fresh nonce a device registration must sign: bound to the account, valid until
  // `expiresAt`, checked by any instance without the database.
  std::string issueRegistrationNonce(const std::string& userId, Millis expiresAt) const;
  bool verifyRegistrationNonce(std::string_view nonce, const std::string& userId, Millis now) const;

  // A refresh token: 256 random bits, and the hash the store keeps instead of it.
  static std::string newRefreshToken();
  static std::string refreshTokenHash(std::string_view token);

 private:
  struct Claims {
    std::string subject;
    Millis expiresAt = 0;
    std::string room;
  };
  std::string sign(std::string_view kind, const std::string& key, const Claims& claims) const;
  std::optional<Claims> open(std::string_view kind, const std::string& key,
                             std::string_view token) const;

  std::string accessKey_;
  std::string relayKey_;
  std::string registrationKey_;
};

// base64url without padding (RFC 4648 §5), as tokens and JWTs write bytes: protocol's coder
// over the byte strings the service keeps.
std::string base64url(std::string_view bytes);
std::optional<std::string> fromBase64url(std::string_view text);

}  // namespace lumora::account
