#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <memory>
#include <optional>
#include <string>

#include "account/address_rate_limiter.h"
#include "account/http_message.h"
#include "account/records.h"
#include "account/token_signer.h"

namespace lumora::account {

class AccountStore;
class DevProviders;
class IdentityProviders;
class WebApp;

// The HTTP JSON routes of the service:
//   POST /auth/login, POST /auth/refresh, POST /auth/logout, GET /auth/me
//   POST /devices, GET /devices, GET /devices/lookup?fingerprint=, PATCH /devices/{id},
//   DELETE /devices/{id}, POST /devices/{id}/connection
//   POST /relay/token
//   GET /auth/providers, GET /health
//   GET /app/… (the browser client's files, when the service has them)
// and, with --dev, the provider stand-ins under /dev/. The relay's WebSocket rooms are the
// server's; the routes only issue their tokens. Each route answers its own methods only (405
// with Allow for any other), and sign-in attempts are limited per client address (429).
//
// Threads: handle() may run on any number of connections at once; store calls go to the
// worker executor.
class AccountApi {
 public:
  struct Lifetimes {
    Millis accessToken = 15 * 60 * 1000;
    Millis refreshToken = 30LL * 24 * 60 * 60 * 1000;
    Millis relayToken = 5 * 60 * 1000;
  };

  AccountApi(std::shared_ptr<AccountStore> store, std::shared_ptr<IdentityProviders> identities,
             std::shared_ptr<DevProviders> dev, Lifetimes lifetimes, Clock clock,
             boost::asio::any_io_executor worker, AddressRateLimiter::Rate loginRate = {},
             std::shared_ptr<const WebApp> web = nullptr);

  boost::asio::awaitable<HttpResponse> handle(HttpRequest request);

  // Signs and checks the tokens, including the relay's.
  const TokenSigner& signer() const { return signer_; }
  const Clock& clock() const { return clock_; }

 private:
  struct Caller;
  boost::asio::awaitable<HttpResponse> route(const HttpRequest& request);
  boost::asio::awaitable<HttpResponse> login(const HttpRequest& request);
  boost::asio::awaitable<HttpResponse> refresh(const HttpRequest& request);
  boost::asio::awaitable<HttpResponse> logout(const HttpRequest& request);
  boost::asio::awaitable<HttpResponse> me(const std::string& userId);
  boost::asio::awaitable<HttpResponse> registerDevice(const std::string& userId,
                                                      const HttpRequest& request);
  boost::asio::awaitable<HttpResponse> lookupDevice(const std::string& userId,
                                                    const std::string& target);
  boost::asio::awaitable<HttpResponse> deviceRoute(const std::string& userId,
                                                   const HttpRequest& request,
                                                   const std::string& rest);
  boost::asio::awaitable<HttpResponse> relayToken(const std::string& userId,
                                                  const HttpRequest& request);
  boost::asio::awaitable<HttpResponse> issueTokens(std::string userId, std::string family);
  std::optional<std::string> callerOf(const HttpRequest& request) const;

  // Runs `work` (a blocking store call) on the worker pool.
  template <class Work>
  auto onWorker(Work work) -> boost::asio::awaitable<decltype(work())>;

  std::shared_ptr<AccountStore> store_;
  std::shared_ptr<IdentityProviders> identities_;
  std::shared_ptr<DevProviders> dev_;
  std::shared_ptr<const WebApp> web_;
  Lifetimes lifetimes_;
  Clock clock_;
  boost::asio::any_io_executor worker_;
  TokenSigner signer_;
  AddressRateLimiter loginAttempts_;
};

}  // namespace lumora::account
