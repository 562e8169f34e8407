#pragma once

#include <concepts>
#include <stdexcept>
#include <string>
#include <utility>

namespace lumora::sdk {

// How a call to the account service failed. Each client throws its own type (AuthClientError,
// DeviceRegistryError, RelayTokenError, SignedInSessionError, below), so a caller can catch one
// client's failures or all of them as this. what() describes the failure in English.
class AccountServiceError : public std::runtime_error {
 public:
  enum class Kind {
    http,                // the service answered with a status outside 200–299: status(), body()
    transport,           // no HTTP answer: the URL could not be formed, sending failed, or
                         // something other than HTTP answered; reason() says which
    decoding,            // a 2xx body is not the expected JSON: reason() says where and why
    invalidPairingCode,  // (device registry) the pairing code is malformed; nothing was sent
    signInExpired,       // (signed-in session) the service refused the refresh token: the
                         // user must sign in again; status(), body() are the refusal's
  };

  Kind kind() const { return kind_; }
  // The answer's status and its body exactly as sent, for an http failure (0 and empty else).
  int status() const { return status_; }
  const std::string& body() const { return body_; }
  // The text of a transport or decoding failure: "invalid url: " and the path, "non-HTTP
  // response", the system's words for a failed send, the decoder's for a bad body.
  const std::string& reason() const { return reason_; }

 protected:
  AccountServiceError(Kind kind, int status, std::string body, std::string reason);

 private:
  Kind kind_;
  int status_;
  std::string body_;
  std::string reason_;
};

struct AuthClientTag {};
struct DeviceRegistryTag {};
struct RelayTokenTag {};
struct SignedInSessionTag {};

// The failures of one client, a type of its own.
template <class Tag>
class AccountClientError final : public AccountServiceError {
 public:
  static AccountClientError http(int status, std::string body) {
    return {Kind::http, status, std::move(body), {}};
  }
  static AccountClientError transport(std::string reason) {
    return {Kind::transport, 0, {}, std::move(reason)};
  }
  static AccountClientError decoding(std::string reason) {
    return {Kind::decoding, 0, {}, std::move(reason)};
  }
  static AccountClientError invalidPairingCode() requires std::same_as<Tag, DeviceRegistryTag> {
    return {Kind::invalidPairingCode, 0, {}, {}};
  }
  static AccountClientError signInExpired(
      int status, std::string body) requires std::same_as<Tag, SignedInSessionTag> {
    return {Kind::signInExpired, status, std::move(body), {}};
  }

 private:
  using AccountServiceError::AccountServiceError;
};

using AuthClientError = AccountClientError<AuthClientTag>;
using DeviceRegistryError = AccountClientError<DeviceRegistryTag>;
using RelayTokenError = AccountClientError<RelayTokenTag>;
using SignedInSessionError = AccountClientError<SignedInSessionTag>;

}  // namespace lumora::sdk
