#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/describe/class.hpp>

#include <memory>
#include <optional>
#include <string>

#include "sdk/account/account_service_error.h"

namespace lumora::net {
class HttpClient;
}

namespace lumora::sdk {

// The signed-in account as the service knows it. In JSON: "id", "provider" (the identity
// provider the account was made with, e.g. "google"), and "email", "displayName" when known.
struct AuthUser {
  std::string id;
  std::string provider;
  std::optional<std::string> email;
  std::optional<std::string> displayName;

  bool operator==(const AuthUser&) const = default;
};
BOOST_DESCRIBE_STRUCT(AuthUser, (), (id, provider, email, displayName))

// The answer to a sign-in or a refresh, and what a token store keeps (encode it with
// protocol::json_codec to get the same JSON back).
struct AuthTokens {
  std::string accessToken;
  std::string refreshToken;
  AuthUser user;

  bool operator==(const AuthTokens&) const = default;
};
BOOST_DESCRIBE_STRUCT(AuthTokens, (), (accessToken, refreshToken, user))

// Signs in to the account service, refreshes the token pair, reads the signed-in user, and
// signs out.
//
// Requests go to the origin of `baseURL` (scheme, host and port; any path of it is dropped),
// each allowed 60 seconds. Every operation fails with AuthClientError: http when the service
// answers outside 200–299 (an expired access token shows as 401: refreshing is the caller's
// decision), transport when no HTTP answer comes, decoding when a 2xx body is not the record.
// Nothing is retried.
//
// The client holds no state beyond its construction; operations may run concurrently, on any
// executor, and each keeps what it needs: the client may go before they complete.
class AuthClient {
 public:
  AuthClient(std::string baseURL, std::shared_ptr<const net::HttpClient> session);

  // Exchanges an identity provider's credential for the service's tokens: provider "google"
  // or "apple" with an ID token, "github" with an authorization code and the PKCE verifier of
  // its authorization ("dev" with an e-mail address against a service in development mode).
  boost::asio::awaitable<AuthTokens> login(
      std::string provider, std::string token,
      std::optional<std::string> codeVerifier = std::nullopt) const;
  // A new token pair; the refresh token is spent.
  boost::asio::awaitable<AuthTokens> refresh(std::string refreshToken) const;
  boost::asio::awaitable<AuthUser> me(std::string accessToken) const;
  // Ends the sign-in `refreshToken` belongs to on the service: every refresh token of its chain
  // stops working (access tokens already issued live out their few minutes).
  boost::asio::awaitable<void> logout(std::string refreshToken) const;

 private:
  std::string baseURL_;
  std::shared_ptr<const net::HttpClient> session_;
};

}  // namespace lumora::sdk
