#pragma once

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <string_view>

namespace lumora::sdk {

// Google's OAuth 2.0 authorization-code flow for installed applications, with PKCE (S256,
// protocol/pkce.h).
// The application exchanges the code for an ID token itself and hands that token to the
// account service. The browser comes back to a loopback redirect, http://127.0.0.1:PORT
// followed by `callbackPath`, the port being that of the listener OAuthWebFlow opens.
//
// Threads: every member may be called from any thread.
class GoogleOAuth {
 public:
  // A placeholder in Google's form until our OAuth application is registered: Google refuses
  // it, so a build for real users sets its registered identifier here or through
  // LUMORA_GOOGLE_CLIENT_ID.
  static constexpr const char* kDefaultClientID =
      "418023736812-7nq2vtb5l0gqlhd3dnq4ca5fr9e1p6mv.apps.googleusercontent.com";
  static constexpr const char* callbackPath = "/oauth2redirect";
  static constexpr const char* scope = "openid email profile";

  // Where the flow goes and as whom. The defaults are Google's public endpoints and the
  // client identifier above.
  struct Config {
    std::string clientID = kDefaultClientID;
    std::string authorizationEndpoint = "https://accounts.google.com/o/oauth2/v2/auth";
    std::string tokenEndpoint = "https://oauth2.googleapis.com/token";
    std::chrono::milliseconds exchangeTimeout = std::chrono::seconds(60);

    // The defaults, with LUMORA_GOOGLE_CLIENT_ID, LUMORA_GOOGLE_AUTHORIZE_URL and
    // LUMORA_GOOGLE_TOKEN_URL taking their place where set and not empty.
    static Config fromEnvironment();
    // The stand-ins an account service started with --dev serves at `serviceURL`.
    static Config devService(std::string_view serviceURL);
  };

  GoogleOAuth();
  explicit GoogleOAuth(Config config);
  const Config& config() const { return config_; }

  // The authorization endpoint with client_id, redirect_uri, response_type=code, scope, state,
  // code_challenge and code_challenge_method=S256, in that order.
  std::string authorizeURL(std::string_view state, std::string_view codeChallenge,
                           std::string_view redirectURI) const;

  // POSTs the code, the client id, the same redirect URI the authorization used and the
  // verifier to the token endpoint (no client secret) and completes with the response's
  // "id_token". The HTTP status is not looked at: a body that is not JSON or holds no non-empty
  // "id_token" fails with OAuthFlowError cannotStart; a transport failure (unreachable, time-out)
  // is passed on as the HTTP client reports it. The future completes on a thread of its own.
  std::future<std::string> exchangeCodeForIDToken(std::string code, std::string codeVerifier,
                                                  std::string redirectURI) const;

 private:
  Config config_;
};

}  // namespace lumora::sdk
