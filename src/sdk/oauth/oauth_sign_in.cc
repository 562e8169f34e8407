#include "sdk/oauth/oauth_sign_in.h"

#include "protocol/message_id.h"
#include "protocol/pkce.h"
#include "sdk/oauth/oauth_urls.h"

namespace lumora::sdk {

namespace {

// What a provider's authorization page gave back, with the PKCE verifier its code is bound to.
struct Authorization {
  std::string code;
  std::string verifier;
  std::string redirectURI;
};

// Runs `provider`'s authorization page with PKCE and a fresh state; nothing when the browser
// came back without a code for this sign-in.
template <class Provider>
std::optional<Authorization> authorize(OAuthWebFlow& flow, const Provider& provider) {
  std::string verifier = protocol::pkce::newCodeVerifier();
  const std::string state = protocol::randomUUIDString();
  const std::string challenge = protocol::pkce::s256Challenge(verifier);
  const OAuthWebFlow::Callback callback =
      flow.authenticate(
              [&](const std::string& redirectURI) {
                return provider.authorizeURL(state, challenge, redirectURI);
              },
              Provider::callbackPath, state)
          .get();
  auto code = parseAuthorizationCode(callback.url, state);
  if (!code) return std::nullopt;
  return Authorization{std::move(*code), std::move(verifier), callback.redirectURI};
}

}  // namespace

std::optional<SignInCredential> signInWithGoogle(OAuthWebFlow& flow, const GoogleOAuth& google) {
  auto authorized = authorize(flow, google);
  if (!authorized) return std::nullopt;
  return SignInCredential{
      google.exchangeCodeForIDToken(authorized->code, authorized->verifier, authorized->redirectURI)
          .get(),
      std::nullopt};
}

std::optional<SignInCredential> signInWithGitHub(OAuthWebFlow& flow, const GitHubOAuth& github) {
  auto authorized = authorize(flow, github);
  if (!authorized) return std::nullopt;
  return SignInCredential{std::move(authorized->code), std::move(authorized->verifier)};
}

}  // namespace lumora::sdk
