#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "account/http_message.h"
#include "account/id_token.h"
#include "account/records.h"

namespace lumora::net {
class HttpClient;
}

namespace lumora::account {

class JwksCache;

// Where each provider lives and which of its clients are ours. Every endpoint can be pointed
// elsewhere (a self-hoster's proxy, the --dev stand-ins, a test). A provider without a client
// id is switched off.
struct ProviderSettings {
  struct IdTokenProvider {
    std::vector<std::string> clientIds;
    std::string jwksUrl;
    std::vector<std::string> issuers;
    // Where clients send the user to sign in and exchange the code for an ID token (told to
    // them by GET /auth/providers; empty: the provider has no such flow for our clients).
    std::string authorizeUrl;
    std::string tokenUrl;
  };
  IdTokenProvider google{{},
                         "https://www.googleapis.com/oauth2/v3/certs",
                         {"https://accounts.google.com", "accounts.google.com"},
                         "https://accounts.google.com/o/oauth2/v2/auth",
                         "https://oauth2.googleapis.com/token"};
  IdTokenProvider apple{
      {}, "https://appleid.apple.com/auth/keys", {"https://appleid.apple.com"}, {}, {}};
  struct GitHub {
    std::string clientId;
    std::string authorizeUrl = "https://github.com/login/oauth/authorize";
    std::string clientSecret;
    std::string redirectUri;  // sent with the exchange when set
    std::string tokenUrl = "https://github.com/login/oauth/access_token";
    std::string userUrl = "https://api.github.com/user";
    std::string emailsUrl = "https://api.github.com/user/emails";
  } github;
  // The "dev" provider signs in whatever e-mail address it is given: --dev only.
  bool devProvider = false;
};

// Turns a sign-in credential into the identity its provider vouches for:
//   "google", "apple": an ID token, verified against the provider's JWKS, issuer, audience
//                      and expiry;
//   "github":          an authorization code, exchanged at GitHub's token endpoint (with the
//                      client's PKCE verifier when it sent one), the user read from its user
//                      endpoint;
//   "dev":             an e-mail address, taken at its word (only when switched on).
// Refusals: 400 for a provider that is unknown or not set up, 401 for a credential the
// provider does not vouch for, 502 when the provider cannot be reached.
//
// Threads: safe from any coroutine.
class IdentityProviders {
 public:
  IdentityProviders(ProviderSettings settings, Clock clock);
  ~IdentityProviders();

  // What clients need to sign in with each provider that is switched on, the answer of
  // GET /auth/providers: {"providers": [{"id", "clientId"?, "authorizeUrl"?, "tokenUrl"?}]}.
  // Nothing secret: client ids and endpoints are what every sign-in page shows anyway.
  boost::json::object clientDirectory() const;

  boost::asio::awaitable<std::variant<Identity, ApiError>> identify(
      std::string provider, std::string credential,
      std::optional<std::string> codeVerifier = std::nullopt);

 private:
  boost::asio::awaitable<std::variant<Identity, ApiError>> fromIdToken(
      const std::string& provider, const ProviderSettings::IdTokenProvider& settings,
      JwksCache& keys, const std::string& token);
  boost::asio::awaitable<std::variant<Identity, ApiError>> fromGitHubCode(
      std::string code, std::optional<std::string> codeVerifier);

  ProviderSettings settings_;
  Clock clock_;
  std::shared_ptr<const net::HttpClient> client_;
  std::unique_ptr<JwksCache> googleKeys_;
  std::unique_ptr<JwksCache> appleKeys_;
};

}  // namespace lumora::account
