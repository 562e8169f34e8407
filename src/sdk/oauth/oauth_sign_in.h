#pragma once

#include <optional>
#include <string>

#include "sdk/oauth/github_oauth.h"
#include "sdk/oauth/google_oauth.h"
#include "sdk/oauth/oauth_web_flow.h"

namespace lumora::sdk {

// The whole browser sign-in with one provider, as the command-line client and the desktop
// application both start it: a fresh state (a random UUID), the browser's round trip through
// `flow`, the code read back against that state, and for Google a fresh PKCE verifier and the
// exchange of the code for an ID token.
//
// Each returns the credential to log in to the account service with (provider "google": the
// ID token; provider "github": the authorization code), or nothing when the browser came back
// without a code for this state (the user or the provider refused). They throw what the flow
// and the exchange fail with: OAuthFlowError, or the exchange's transport error.
//
// Threads: any; each blocks its caller until the sign-in ends (at the latest after the flow's
// callback time-out and, for Google, the exchange's time-out).
std::optional<std::string> signInWithGoogle(OAuthWebFlow& flow, const GoogleOAuth& google);
std::optional<std::string> signInWithGitHub(OAuthWebFlow& flow, const GitHubOAuth& github);

}  // namespace lumora::sdk
