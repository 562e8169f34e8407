#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumora::sdk {

// GitHub's OAuth authorization-code flow with PKCE (S256, protocol/pkce.h): the application
// does not exchange the code, it hands it with its code verifier to the account service, which
// does, so a code caught on its way back is useless without the verifier that never left this
// program. The browser comes back to a loopback redirect, http://127.0.0.1:PORT followed by
// `callbackPath` (GitHub lets a loopback redirect take any port).
//
// Threads: every member may be called from any thread.
class GitHubOAuth {
 public:
  // A placeholder in GitHub's form until our OAuth application is registered: GitHub refuses
  // it, so a build for real users sets its registered identifier here or through
  // LUMORA_GITHUB_CLIENT_ID.
  static constexpr const char* kDefaultClientID = "Ov23liQ7rLumoraDesk1";
  static constexpr const char* callbackPath = "/oauth/github";
  static constexpr const char* scope = "read:user user:email";

  struct Config {
    std::string clientID = kDefaultClientID;
    std::string authorizationEndpoint = "https://github.com/login/oauth/authorize";

    // The defaults, with LUMORA_GITHUB_CLIENT_ID and LUMORA_GITHUB_AUTHORIZE_URL taking their
    // place where set and not empty.
    static Config fromEnvironment();
    // The stand-in an account service started with --dev serves at `serviceURL`.
    static Config devService(std::string_view serviceURL);
  };

  GitHubOAuth();
  explicit GitHubOAuth(Config config);
  const Config& config() const { return config_; }

  // The authorization endpoint with client_id, redirect_uri, scope, state, code_challenge and
  // code_challenge_method=S256, in that order.
  std::string authorizeURL(std::string_view state, std::string_view codeChallenge,
                           std::string_view redirectURI) const;

 private:
  Config config_;
};

}  // namespace lumora::sdk
