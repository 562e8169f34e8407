#include "sdk/oauth/oauth_sign_in.h"

#include "protocol/message_id.h"

namespace lumora::sdk {

std::optional<std::string> signInWithGoogle(OAuthWebFlow& flow, const GoogleOAuth& google) {
  const std::string verifier = GoogleOAuth::codeVerifier();
  const std::string state = protocol::randomUUIDString();
  const std::string challenge = GoogleOAuth::codeChallenge(verifier);
  const OAuthWebFlow::Callback callback =
      flow.authenticate(
              [&](const std::string& redirectURI) {
                return google.authorizeURL(state, challenge, redirectURI);
              },
              GoogleOAuth::callbackPath)
          .get();
  const auto code = GoogleOAuth::parseCode(callback.url, state);
  if (!code) return std::nullopt;
  return google.exchangeCodeForIDToken(*code, verifier, callback.redirectURI).get();
}

std::optional<std::string> signInWithGitHub(OAuthWebFlow& flow, const GitHubOAuth& github) {
  const std::string state = protocol::randomUUIDString();
  const OAuthWebFlow::Callback callback = flow.authenticate(
                                                  [&](const std::string& redirectURI) {
                                                    return github.authorizeURL(state, redirectURI);
                                                  },
                                                  GitHubOAuth::callbackPath)
                                              .get();
  return GitHubOAuth::parseCode(callback.url, state);
}

}  // namespace lumora::sdk
