#pragma once

#include <boost/asio/awaitable.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "sdk/account/auth_client.h"

namespace lumora::net {
class HttpClient;
}

namespace lumora::sdk {

// The token pair of one sign-in, and the account service calls made with it. A call runs with
// the access token; when the service refuses that token (HTTP 401: access tokens live minutes)
// the pair is refreshed once (AuthClient::refresh), the new pair handed to `saveTokens` before
// anything else can fail (the old refresh token is spent: a pair not kept is a sign-in lost),
// and the call made again with the new access token.
//
// A refresh token is single-use, and the service ends the whole sign-in when one is used twice.
// So a call that meets a refused token while another call's refresh is under way does not
// refresh itself: it waits for that refresh and goes again with its result; and one whose token
// was refused after the pair had already changed goes again with the new one at once.
//
//   SignedInSession session(serviceURL, http, stored, [&](const AuthTokens& t) { keep(t); });
//   auto devices = co_await session.call<std::vector<DeviceSummary>>([&](std::string token) {
//     return DeviceRegistryClient(serviceURL, std::move(token), http).listDevices();
//   });
//
// Failures: what the call throws, but for a 401 the first time. SignedInSessionError
// signInExpired when the service refuses the refresh token (expired, spent, or its sign-in
// ended): only a new sign-in helps. The refresh's AuthClientError when the service could not
// be asked or failed. Whatever `saveTokens` throws (the new pair is still the session's). Calls
// that waited for a refresh fail as it did.
//
// Threads: every member from any thread, and calls may run at once on any executors; each call
// runs on the executor that awaits it. `saveTokens` runs on the executor of the call that
// refreshed, never twice at once. A call keeps what it needs: the session may go first.
class SignedInSession {
 public:
  using SaveTokens = std::function<void(const AuthTokens&)>;
  // One call to the service with the access token it is given.
  template <class T>
  using Call = std::function<boost::asio::awaitable<T>(std::string accessToken)>;

  // `serviceURL` is the service that issued the pair: refreshes go there.
  SignedInSession(std::string serviceURL, std::shared_ptr<const net::HttpClient> http,
                  AuthTokens tokens, SaveTokens saveTokens);
  ~SignedInSession();
  SignedInSession(const SignedInSession&) = delete;
  SignedInSession& operator=(const SignedInSession&) = delete;

  // The pair of this moment.
  AuthTokens tokens() const;
  const std::string& serviceURL() const;

  template <class T>
  boost::asio::awaitable<T> call(Call<T> operation) const {
    return callWith<T>(state_, std::move(operation));
  }

 private:
  struct State;
  class PendingRefresh;

  template <class T>
  static boost::asio::awaitable<T> callWith(std::shared_ptr<State> state, Call<T> operation) {
    std::optional<T> result;
    auto running = run(std::move(state), [&](std::string token) -> boost::asio::awaitable<void> {
      auto calling = operation(std::move(token));
      result.emplace(co_await std::move(calling));
    });
    co_await std::move(running);
    co_return std::move(*result);
  }
  static boost::asio::awaitable<void> run(std::shared_ptr<State> state, Call<void> operation);
  // Refreshes `refreshToken`, keeps and saves the new pair, and settles `pending` for everyone.
  static boost::asio::awaitable<void> refresh(std::shared_ptr<State> state,
                                              std::shared_ptr<PendingRefresh> pending,
                                              std::string refreshToken);

  std::shared_ptr<State> state_;
};

}  // namespace lumora::sdk
