#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "account/http_message.h"
#include "account/records.h"

namespace lumora::account {

// The JSON bodies peers send, checked field by field. Unknown keys are ignored; a missing or
// mistyped field, an over-long text or a malformed fingerprint is a 400 with a message naming
// the field. Never throws.
template <class T>
using Parsed = std::variant<T, ApiError>;

struct LoginRequest {
  std::string provider;
  std::string token;
  // The PKCE verifier of an authorization code ("github"): 43 to 128 URL-safe characters.
  std::optional<std::string> codeVerifier;
};
struct RefreshRequest {
  std::string refreshToken;
};
struct DeviceRegistration {
  std::string name;
  std::string platform;
  std::optional<std::string> pairingFingerprint;
};
struct DeviceRename {
  std::string name;
};
struct RelayTokenRequest {
  std::string fingerprint;
};

Parsed<LoginRequest> parseLoginRequest(std::string_view body);
Parsed<RefreshRequest> parseRefreshRequest(std::string_view body);
Parsed<DeviceRegistration> parseDeviceRegistration(std::string_view body);
Parsed<DeviceRename> parseDeviceRename(std::string_view body);
Parsed<ConnectionReport> parseConnectionReport(std::string_view body);
Parsed<RelayTokenRequest> parseRelayTokenRequest(std::string_view body);

// A pairing fingerprint: 64 lower-case hexadecimal digits.
bool isPairingFingerprint(std::string_view text);

}  // namespace lumora::account
