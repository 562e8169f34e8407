#pragma once

#include <string_view>
#include <variant>

#include "account/http_message.h"
#include "account/records.h"
#include "protocol/account_records.h"

namespace lumora::account {

// The JSON bodies peers send, decoded as the clients encode them (protocol/account_records.h)
// and then held to the service's bounds. Unknown keys are ignored; a missing or mistyped field,
// an over-long text or a malformed fingerprint is a 400 with a message naming the field. Never
// throws.
template <class T>
using Parsed = std::variant<T, ApiError>;

using LoginRequest = protocol::LoginRequest;
using RefreshRequest = protocol::RefreshRequest;
using DeviceRegistration = protocol::DeviceRegistration;
using DeviceRename = protocol::DeviceRename;
using RelayTokenRequest = protocol::RelayTokenRequest;

// A login's codeVerifier, when given, is a PKCE verifier.
Parsed<LoginRequest> parseLoginRequest(std::string_view body);
Parsed<RefreshRequest> parseRefreshRequest(std::string_view body);
// A registration with a roomKey (32 bytes) has its nonce and signature (64 bytes) too; one
// without is taken as it is, whatever else it holds.
Parsed<DeviceRegistration> parseDeviceRegistration(std::string_view body);
Parsed<DeviceRename> parseDeviceRename(std::string_view body);
Parsed<ConnectionReport> parseConnectionReport(std::string_view body);
Parsed<RelayTokenRequest> parseRelayTokenRequest(std::string_view body);

// A pairing fingerprint: 64 lower-case hexadecimal digits.
bool isPairingFingerprint(std::string_view text);

}  // namespace lumora::account
