#include "sdk/oauth/github_oauth.h"

#include "sdk/oauth/oauth_urls.h"

namespace lumora::sdk {

static_assert(std::string_view(GitHubOAuth::kDefaultClientID).size() == 20);

GitHubOAuth::Config GitHubOAuth::Config::fromEnvironment() {
  Config config;
  overrideFromEnvironment(config.clientID, "LUMORA_GITHUB_CLIENT_ID");
  overrideFromEnvironment(config.authorizationEndpoint, "LUMORA_GITHUB_AUTHORIZE_URL");
  return config;
}

GitHubOAuth::Config GitHubOAuth::Config::devService(std::string_view serviceURL) {
  Config config;
  config.clientID = "lumoradevclient00000";
  config.authorizationEndpoint = std::string(serviceURL) + "/dev/github/authorize";
  return config;
}

GitHubOAuth::GitHubOAuth() = default;

GitHubOAuth::GitHubOAuth(Config config) : config_(std::move(config)) {}

std::string GitHubOAuth::authorizeURL(std::string_view state, std::string_view codeChallenge,
                                      std::string_view redirectURI) const {
  return urlWithQuery(config_.authorizationEndpoint,
                      {{"client_id", config_.clientID},
                       {"redirect_uri", std::string(redirectURI)},
                       {"scope", scope},
                       {"state", std::string(state)},
                       {"code_challenge", std::string(codeChallenge)},
                       {"code_challenge_method", "S256"}});
}

}  // namespace lumora::sdk
