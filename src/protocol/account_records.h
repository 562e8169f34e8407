#pragma once

// The JSON records the account service and its clients exchange, described once for both ends
// (protocol::json_codec reads and writes them): the service decodes the requests and encodes
// the replies, the client library the other way round. Keys are the members' names, in the
// order written here (the service's replies keep that order); absent optionals are left out.
// The types say only the wire's shape: how long a name may be, what a fingerprint looks like,
// which sizes the proof's bytes have are the service's checks after decoding.

#include <boost/describe/class.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/bytes.h"

namespace lumora::protocol {

// POST /auth/login: provider "google" or "apple" with an ID token, "github" with an
// authorization code and the PKCE verifier of its authorization, "dev" with an e-mail address.
struct LoginRequest {
  std::string provider;
  std::string token;
  std::optional<std::string> codeVerifier;
};
BOOST_DESCRIBE_STRUCT(LoginRequest, (), (provider, token, codeVerifier))

// POST /auth/refresh and POST /auth/logout.
struct RefreshRequest {
  std::string refreshToken;
};
BOOST_DESCRIBE_STRUCT(RefreshRequest, (), (refreshToken))

// The signed-in account (GET /auth/me): the identity provider it was made with (e.g.
// "google"), and the e-mail address and name when the provider told them.
struct AuthUser {
  std::string id;
  std::string provider;
  std::optional<std::string> email;
  std::optional<std::string> displayName;

  bool operator==(const AuthUser&) const = default;
};
BOOST_DESCRIBE_STRUCT(AuthUser, (), (id, provider, email, displayName))

// The answer to a sign-in or a refresh, and what a token store keeps.
struct AuthTokens {
  std::string accessToken;
  std::string refreshToken;
  AuthUser user;

  bool operator==(const AuthTokens&) const = default;
};
BOOST_DESCRIBE_STRUCT(AuthTokens, (), (accessToken, refreshToken, user))

// POST /devices/challenge: a nonce the service issued for the account to sign.
struct RegistrationChallenge {
  std::string nonce;
  std::string account;
  std::int64_t expiresInSeconds = 0;
};
BOOST_DESCRIBE_STRUCT(RegistrationChallenge, (), (nonce, account, expiresInSeconds))

// POST /devices. With roomKey, nonce and signature: that the client knows the device's pairing
// secret (the room key the secret gives, 32 bytes, and its signature over the account and the
// challenge's nonce, 64 bytes); without them the device has no fingerprint yet.
struct DeviceRegistration {
  std::string name;
  std::string platform;
  std::optional<Bytes> roomKey;
  std::optional<std::string> nonce;
  std::optional<Bytes> signature;
};
BOOST_DESCRIBE_STRUCT(DeviceRegistration, (), (name, platform, roomKey, nonce, signature))

// PATCH /devices/{id}.
struct DeviceRename {
  std::string name;
};
BOOST_DESCRIBE_STRUCT(DeviceRename, (), (name))

// POST /devices/{id}/connection: where the device serves now.
struct ConnectionReport {
  std::string host;
  std::uint16_t controlPort = 0;
  std::uint16_t mediaPort = 0;
};
BOOST_DESCRIBE_STRUCT(ConnectionReport, (), (host, controlPort, mediaPort))

// A device of the account, as the registry answers. Times are RFC 3339 texts in UTC with
// milliseconds; the service always sends createdAt, and the rest once known.
struct DeviceSummary {
  std::string id;
  std::string name;
  std::string platform;
  std::string status;  // "registered", then "connected" once it has reported where it serves
  std::optional<std::string> createdAt;
  std::optional<std::string> pairingFingerprint;
  std::optional<std::string> lastSeenAt;
  std::optional<std::string> lastHost;
  std::optional<std::uint16_t> lastControlPort;
  std::optional<std::uint16_t> lastMediaPort;

  bool operator==(const DeviceSummary&) const = default;
};
BOOST_DESCRIBE_STRUCT(DeviceSummary, (),
                      (id, name, platform, status, createdAt, pairingFingerprint, lastSeenAt,
                       lastHost, lastControlPort, lastMediaPort))

// POST /relay/token: a token into the relay room of the device with this pairing fingerprint.
struct RelayTokenRequest {
  std::string fingerprint;
};
BOOST_DESCRIBE_STRUCT(RelayTokenRequest, (), (fingerprint))

// A short-lived token that lets a phone into an agent's relay room.
struct RelayTokenResponse {
  std::string token;
  std::string room;
  std::int64_t expiresInSeconds = 0;

  bool operator==(const RelayTokenResponse&) const = default;
};
BOOST_DESCRIBE_STRUCT(RelayTokenResponse, (), (token, room, expiresInSeconds))

}  // namespace lumora::protocol
