#pragma once

#include <optional>
#include <string>

#include "sdk/oauth/github_oauth.h"
#include "sdk/oauth/google_oauth.h"
#include "sdk/oauth/oauth_web_flow.h"

namespace lumora::sdk {

// What a browser sign-in gives to log in to the account service with:
// AuthClient::login(provider, token, codeVerifier).
struct SignInCredential {
  std::string token;  // "google": the ID token; "github": the authorization code
  // "github": the PKCE verifier the service hands GitHub with the code.
  std::optional<std::string> codeVerifier;

  bool operator==(const SignInCredential&) const = default;
};

// The whole browser sign-in with one provider, as the command-line client and the desktop
// application both start it: a fresh state (a random UUID) and PKCE verifier, the browser's
// round trip through `flow` (which waits for the answer carrying that state), the code read
// back, and for Google the exchange of the code for an ID token.
//
// Each returns the credential, or nothing when the browser came back without a code (the user
// or the provider refused). They throw what the flow and the exchange fail with:
// OAuthFlowError, or the exchange's transport error.
//
// Threads: any; each blocks its caller until the sign-in ends (at the latest after the flow's
// callback time-out and, for Google, the exchange's time-out).
std::optional<SignInCredential> signInWithGoogle(OAuthWebFlow& flow, const GoogleOAuth& google);
std::optional<SignInCredential> signInWithGitHub(OAuthWebFlow& flow, const GitHubOAuth& github);

}  // namespace lumora::sdk
