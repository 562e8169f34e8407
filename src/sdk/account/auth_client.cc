#include "sdk/account/auth_client.h"

#include "sdk/internal/account_call.h"

namespace lumora::sdk {

using internal::AccountCall;
using internal::callFor;
using internal::encodeBody;

AuthClient::AuthClient(std::string baseURL, std::shared_ptr<const net::HttpClient> session)
    : baseURL_(std::move(baseURL)), session_(std::move(session)) {}

boost::asio::awaitable<AuthTokens> AuthClient::login(
    std::string provider, std::string token, std::optional<std::string> codeVerifier) const {
  return callFor<AuthTokens, AuthClientError>(
      session_, baseURL_,
      {"POST", "/auth/login", std::nullopt,
       encodeBody(protocol::LoginRequest{std::move(provider), std::move(token),
                                         std::move(codeVerifier)})});
}

boost::asio::awaitable<AuthTokens> AuthClient::refresh(std::string refreshToken) const {
  return callFor<AuthTokens, AuthClientError>(
      session_, baseURL_,
      {"POST", "/auth/refresh", std::nullopt,
       encodeBody(protocol::RefreshRequest{std::move(refreshToken)})});
}

boost::asio::awaitable<AuthUser> AuthClient::me(std::string accessToken) const {
  return callFor<AuthUser, AuthClientError>(
      session_, baseURL_, {"GET", "/auth/me", std::move(accessToken), std::nullopt});
}

boost::asio::awaitable<void> AuthClient::logout(std::string refreshToken) const {
  return callFor<void, AuthClientError>(
      session_, baseURL_,
      {"POST", "/auth/logout", std::nullopt,
       encodeBody(protocol::RefreshRequest{std::move(refreshToken)})});
}

}  // namespace lumora::sdk
