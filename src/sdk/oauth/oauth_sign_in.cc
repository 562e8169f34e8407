#include "sdk/oauth/oauth_sign_in.h"

#include "protocol/message_id.h"
#include "protocol/pkce.h"

namespace lumora::sdk {

std::optional<SignInCredential> signInWithGoogle(OAuthWebFlow& flow, const GoogleOAuth& google) {
  const std::string verifier = protocol::pkce::newCodeVerifier();
  const std::string state = protocol::randomUUIDString();
  const std::string challenge = protocol::pkce::s256Challenge(verifier);
  const OAuthWebFlow::Callback callback =
      flow.authenticate(
              [&](const std::string& redirectURI) {
                return google.authorizeURL(state, challenge, redirectURI);
              },
              GoogleOAuth::callbackPath, state)
          .get();
  const auto code = GoogleOAuth::parseCode(callback.url, state);
  if (!code) return std::nullopt;
  return SignInCredential{
      google.exchangeCodeForIDToken(*code, verifier, callback.redirectURI).get(), std::nullopt};
}

std::optional<SignInCredential> signInWithGitHub(OAuthWebFlow& flow, const GitHubOAuth& github) {
  const std::string verifier = protocol::pkce::newCodeVerifier();
  const std::string state = protocol::randomUUIDString();
  const std::string challenge = protocol::pkce::s256Challenge(verifier);
  const OAuthWebFlow::Callback callback =
      flow.authenticate(
              [&](const std::string& redirectURI) {
                return github.authorizeURL(state, challenge, redirectURI);
              },
              GitHubOAuth::callbackPath, state)
          .get();
  auto code = GitHubOAuth::parseCode(callback.url, state);
  if (!code) return std::nullopt;
  return SignInCredential{std::move(*code), verifier};
}

}  // namespace lumora::sdk
