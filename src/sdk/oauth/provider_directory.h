#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "sdk/oauth/github_oauth.h"
#include "sdk/oauth/google_oauth.h"

namespace lumora::sdk {

// Which sign-in providers an account service takes and with which of its clients
// (GET /auth/providers), so that a self-hosted service configures its clients once. A client
// falls back to its built-in defaults for whatever the service does not name, and a developer's
// LUMORA_GOOGLE_* / LUMORA_GITHUB_* variables still win over both.
struct ProviderDirectory {
  struct Entry {
    std::string clientId;
    std::string authorizeUrl;  // empty: not named
    std::string tokenUrl;
  };
  std::optional<Entry> google;
  std::optional<Entry> github;

  // The directory in a reply body; entries that are not objects with a string "clientId", and
  // providers this client does not sign in with, are left out. Empty for a body that is not
  // the directory.
  static ProviderDirectory parse(std::string_view body);
  // Asks the service at `serviceURL` (blocking, at most `timeout`); an empty directory when it
  // cannot be asked (an older service, an unreachable one).
  static ProviderDirectory fetch(const std::string& serviceURL,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // `config` with what the service names, then the environment's overrides.
  GoogleOAuth::Config applyTo(GoogleOAuth::Config config) const;
  GitHubOAuth::Config applyTo(GitHubOAuth::Config config) const;
};

}  // namespace lumora::sdk
