#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "account/http_message.h"
#include "account/records.h"
#include "protocol/bytes.h"

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
// That the registering client knows the device's pairing secret: the room key the secret gives,
// and its signature over the account and a nonce the service issued.
struct RoomKeyProof {
  protocol::Bytes roomKey;    // 32 bytes
  std::string nonce;          // as the service issued it
  protocol::Bytes signature;  // 64 bytes
};
struct DeviceRegistration {
  std::string name;
  std::string platform;
  std::optional<RoomKeyProof> proof;
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
