#include "sdk/account/signed_in_session.h"

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <mutex>
#include <utility>
#include <vector>

namespace lumora::sdk {

namespace asio = boost::asio;

// The outcome of one refresh, for every call that met a refused token while it ran: the new
// access token, or why there is none.
class SignedInSession::PendingRefresh {
 public:
  using Signature = void(std::exception_ptr, std::string);

  asio::awaitable<std::string> outcome() {
    return asio::async_initiate<const asio::use_awaitable_t<>&, Signature>(
        [this](auto handler) {
          asio::any_io_executor executor = asio::prefer(asio::get_associated_executor(handler),
                                                        asio::execution::outstanding_work.tracked);
          add({asio::any_completion_handler<Signature>(std::move(handler)), std::move(executor)});
        },
        asio::use_awaitable);
  }

  void settle(std::exception_ptr failure, std::string accessToken) {
    std::vector<Waiter> waiting;
    {
      std::lock_guard guard(lock_);
      settled_ = true;
      failure_ = failure;
      accessToken_ = accessToken;
      waiting.swap(waiters_);
    }
    for (auto& waiter : waiting) resume(std::move(waiter));
  }

 private:
  struct Waiter {
    asio::any_completion_handler<Signature> handler;
    // The handler's executor, counted as work so that its loop keeps running while it waits.
    asio::any_io_executor executor;
  };

  void add(Waiter waiter) {
    {
      std::lock_guard guard(lock_);
      if (!settled_) {
        waiters_.push_back(std::move(waiter));
        return;
      }
    }
    resume(std::move(waiter));
  }

  // Completes the wait on its own executor, never inside the caller's.
  void resume(Waiter waiter) {
    asio::post(waiter.executor,
               [handler = std::move(waiter.handler), failure = failure_,
                token = accessToken_]() mutable { std::move(handler)(failure, std::move(token)); });
  }

  std::mutex lock_;  // guards everything below
  bool settled_ = false;
  std::exception_ptr failure_;
  std::string accessToken_;
  std::vector<Waiter> waiters_;
};

namespace {

bool refusedAccessToken(const AccountServiceError& error) {
  return error.kind() == AccountServiceError::Kind::http && error.status() == 401;
}

// The service says no to the refresh token itself, as opposed to failing to answer.
bool refusedRefreshToken(const AccountServiceError& error) {
  return error.kind() == AccountServiceError::Kind::http && error.status() >= 400 &&
         error.status() < 500;
}

}  // namespace

struct SignedInSession::State {
  std::string serviceURL;
  std::shared_ptr<const net::HttpClient> http;
  SaveTokens saveTokens;

  std::mutex lock;  // guards tokens and refreshing
  AuthTokens tokens;
  std::shared_ptr<PendingRefresh> refreshing;  // while a refresh is under way
};

SignedInSession::SignedInSession(std::string serviceURL,
                                 std::shared_ptr<const net::HttpClient> http, AuthTokens tokens,
                                 SaveTokens saveTokens)
    : state_(std::make_shared<State>()) {
  state_->serviceURL = std::move(serviceURL);
  state_->http = std::move(http);
  state_->saveTokens = std::move(saveTokens);
  state_->tokens = std::move(tokens);
}

SignedInSession::~SignedInSession() = default;

AuthTokens SignedInSession::tokens() const {
  std::lock_guard guard(state_->lock);
  return state_->tokens;
}

const std::string& SignedInSession::serviceURL() const { return state_->serviceURL; }

asio::awaitable<void> SignedInSession::refresh(std::shared_ptr<State> state,
                                               std::shared_ptr<PendingRefresh> pending,
                                               std::string refreshToken) {
  std::exception_ptr failure;
  AuthTokens renewed;
  try {
    auto refreshing = AuthClient(state->serviceURL, state->http).refresh(std::move(refreshToken));
    renewed = co_await std::move(refreshing);
  } catch (const AccountServiceError& error) {
    failure = refusedRefreshToken(error)
                  ? std::make_exception_ptr(
                        SignedInSessionError::signInExpired(error.status(), error.body()))
                  : std::current_exception();
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) {
    {
      std::lock_guard guard(state->lock);
      state->tokens = renewed;
    }
    try {
      if (state->saveTokens) state->saveTokens(renewed);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  {
    std::lock_guard guard(state->lock);
    state->refreshing.reset();
  }
  pending->settle(failure, renewed.accessToken);
}

asio::awaitable<void> SignedInSession::run(std::shared_ptr<State> state, Call<void> operation) {
  std::string accessToken;
  {
    std::lock_guard guard(state->lock);
    accessToken = state->tokens.accessToken;
  }
  bool refused = false;
  try {
    auto calling = operation(accessToken);
    co_await std::move(calling);
  } catch (const AccountServiceError& error) {
    if (!refusedAccessToken(error)) throw;
    refused = true;
  }
  if (!refused) co_return;

  // Whoever meets the refusal first refreshes; the others wait for its outcome. A pair that
  // changed since this call began needs no refresh at all.
  std::shared_ptr<PendingRefresh> pending;
  bool refreshes = false;
  std::string refreshToken;
  std::optional<std::string> current;
  {
    std::lock_guard guard(state->lock);
    if (state->tokens.accessToken != accessToken) {
      current = state->tokens.accessToken;
    } else if (state->refreshing) {
      pending = state->refreshing;
    } else {
      pending = state->refreshing = std::make_shared<PendingRefresh>();
      refreshes = true;
      refreshToken = state->tokens.refreshToken;
    }
  }
  if (!current) {
    if (refreshes) {
      auto refreshing = refresh(state, pending, std::move(refreshToken));
      co_await std::move(refreshing);
    }
    auto waiting = pending->outcome();
    current = co_await std::move(waiting);
  }
  auto again = operation(std::move(*current));
  co_await std::move(again);
}

}  // namespace lumora::sdk
