#pragma once

#include <boost/asio/awaitable.hpp>

#include <memory>
#include <optional>
#include <string>

#include "protocol/account_records.h"
#include "sdk/account/account_service_error.h"

namespace lumora::net {
class HttpClient;
}

namespace lumora::sdk {

// The signed-in account as the service knows it, and the token pair of a sign-in (what a token
// store keeps: encode it with protocol::json_codec to get the same JSON back).
using AuthUser = protocol::AuthUser;
using AuthTokens = protocol::AuthTokens;

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
