#pragma once

#include <boost/json/object.hpp>

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "account/records.h"

namespace lumora::account {

// What an identity provider's ID token must satisfy besides its signature.
struct IdTokenRules {
  std::vector<std::string> issuers;    // "iss" must be one of these
  std::vector<std::string> audiences;  // "aud" must name one of these (our client ids)
  Millis clockSkew = 60'000;           // tolerated between the provider's clock and ours
};

// The key id of a compact RS256 JWS, or why the token is refused before any key is looked
// up (not three parts, a header that is not JSON, another algorithm, no key id).
std::variant<std::string, std::string> idTokenKeyId(std::string_view token);

// Checks an ID token against the provider's public key `jwk` (an RSA JWK of its JWKS) and
// `rules` at `now`: the RS256 signature (through libjose), issuer, audience, expiry and
// not-before, and a subject. Gives the payload's claims, or why the token is refused.
std::variant<boost::json::object, std::string> verifyIdToken(std::string_view token,
                                                             const boost::json::object& jwk,
                                                             const IdTokenRules& rules, Millis now);

// An RS256 signer for tokens the service itself vouches for: the --dev stand-ins' ID tokens,
// and tests' tokens. Makes a fresh 2048-bit key.
class IdTokenSigner {
 public:
  explicit IdTokenSigner(std::string keyId);
  // A compact JWS over `claims`, with "alg": "RS256" and this signer's "kid".
  std::string sign(const boost::json::object& claims) const;
  // The public half as a JWK (with "kid", "alg", "use").
  boost::json::object publicJwk() const;
  const std::string& keyId() const { return keyId_; }

 private:
  std::string keyId_;
  std::string privateJwk_;  // serialised JWK
};

}  // namespace lumora::account
