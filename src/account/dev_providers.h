#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "account/http_message.h"
#include "account/id_token.h"
#include "account/identity_providers.h"
#include "account/records.h"

namespace lumora::account {

// Stand-ins of Google's and GitHub's sign-in endpoints for --dev, speaking their protocols so
// that the whole sign-in runs on one machine without registered OAuth applications:
//   GET  /dev/google/authorize   authorization-code request with PKCE (S256 only); approves at
//                                once as `login_hint` (default dev@example.com) and redirects
//   POST /dev/google/token       code + verifier for tokens, among them an RS256 ID token
//   GET  /dev/google/jwks        the key those ID tokens are signed with (made at start)
//   GET  /dev/github/authorize   authorization request with PKCE (S256 only); approves as `login`
//                                (default "dev") and redirects
//   POST /dev/github/login/oauth/access_token   code + client secret + verifier for an access
//                                token
//   GET  /dev/github/user, /dev/github/user/emails
// Codes are single-use and live ten minutes.
//
// Threads: safe from any thread.
class DevProviders {
 public:
  struct Settings {
    std::string baseUrl;  // the service's own origin, e.g. http://127.0.0.1:8780
    std::string googleClientId = "lumora-dev.apps.example";
    std::string githubClientId = "lumoradevclient00000";
    std::string githubClientSecret = "lumora-dev-secret";
  };

  DevProviders(Settings settings, Clock clock);

  // The answer to a request under /dev/, or nothing for any other path.
  std::optional<HttpResponse> handle(const HttpRequest& request);

  // `base` with Google and GitHub pointed at these stand-ins and the "dev" provider on.
  ProviderSettings providerSettings(ProviderSettings base) const;

  // The issuer the stand-in's ID tokens name, and their signer (tests mint tokens with it).
  std::string googleIssuer() const { return settings_.baseUrl + "/dev/google"; }
  const IdTokenSigner& signer() const { return signer_; }

 private:
  struct Grant {
    std::string clientId;
    std::string redirectUri;
    std::string codeChallenge;
    std::string login;
    Millis expiresAt = 0;
  };
  // The provider's consent, given at once: a single-use code for `login`, and the redirect
  // that carries it back to the client.
  HttpResponse approve(std::map<std::string, Grant>& codes, const char* prefix,
                       const std::map<std::string, std::string>& params, std::string codeChallenge,
                       std::string login);
  HttpResponse googleAuthorize(const HttpRequest& request);
  HttpResponse googleToken(const HttpRequest& request);
  HttpResponse githubAuthorize(const HttpRequest& request);
  HttpResponse githubToken(const HttpRequest& request);
  HttpResponse githubUser(const HttpRequest& request, bool emails);
  std::optional<Grant> takeGrant(std::map<std::string, Grant>& grants, const std::string& code);

  Settings settings_;
  Clock clock_;
  IdTokenSigner signer_;
  std::mutex lock_;  // guards the three maps
  std::map<std::string, Grant> googleCodes_;
  std::map<std::string, Grant> githubCodes_;
  std::map<std::string, std::string> githubTokens_;  // access token → login
};

}  // namespace lumora::account
