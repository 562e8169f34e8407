#pragma once

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/account_controller.h"
#include "app/agent_controller.h"
#include "net/http_client.h"

// Fakes of the controllers' awaited dependencies. Each call passes a gate that the test may
// close to hold the call open and open again to let it finish.
namespace lumora::app_test {

class Gate {
 public:
  boost::asio::awaitable<void> pass() {
    if (open_) co_return;
    auto timer = std::make_shared<boost::asio::steady_timer>(
        co_await boost::asio::this_coro::executor, boost::asio::steady_timer::time_point::max());
    held_.push_back(timer);
    boost::system::error_code ignored;
    co_await timer->async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ignored));
  }
  void close() { open_ = false; }
  void open() {
    open_ = true;
    for (const auto& timer : held_) timer->cancel();
    held_.clear();
  }

 private:
  bool open_ = true;
  std::vector<std::shared_ptr<boost::asio::steady_timer>> held_;
};

class FakeAgentServer : public app::AgentServer {
 public:
  boost::asio::awaitable<runtime::AgentServingInfo> start() override {
    ++startCalls;
    co_await startGate.pass();
    if (startFailure) throw std::runtime_error(*startFailure);
    co_return info;
  }
  boost::asio::awaitable<void> stop() override {
    ++stopCalls;
    co_return;
  }

  runtime::AgentServingInfo info{"192.168.0.7", 47800, 47801, "lan", "123456", "f1", {}, {}, {}};
  std::optional<std::string> startFailure;
  Gate startGate;
  int startCalls = 0, stopCalls = 0;
};

// Its sessions are real ones pointed at a port nobody serves: the fake registrar below never
// lets them refresh (the real adapters' tests do, against the real service).
class FakeAuthenticator : public app::AccountAuthenticating {
 public:
  boost::asio::awaitable<sdk::AuthTokens> login(std::string provider, std::string token,
                                                std::optional<std::string> codeVerifier) override {
    logins.push_back(provider + ":" + token + (codeVerifier ? ":" + *codeVerifier : ""));
    if (failure) std::rethrow_exception(failure);
    co_return tokens;
  }
  boost::asio::awaitable<void> logout(std::string refreshToken) override {
    logouts.push_back(refreshToken);
    co_await logoutGate.pass();
    if (logoutFailure) std::rethrow_exception(logoutFailure);
  }
  std::shared_ptr<sdk::SignedInSession> openSession(
      sdk::AuthTokens signedIn, sdk::SignedInSession::SaveTokens save) override {
    return std::make_shared<sdk::SignedInSession>("http://127.0.0.1:1",
                                                  std::make_shared<net::HttpClient>("fake"),
                                                  std::move(signedIn), std::move(save));
  }

  sdk::AuthTokens tokens{"access-1", "refresh-1", {"u1", "google", "ada@example.com", "Ada"}};
  std::exception_ptr failure, logoutFailure;
  Gate logoutGate;
  std::vector<std::string> logins, logouts;
};

class FakeRegistrar : public app::DeviceRegistering {
 public:
  boost::asio::awaitable<sdk::DeviceSummary> registerDevice(
      std::shared_ptr<sdk::SignedInSession> session, std::string name, std::string platform,
      std::optional<std::string> pairingCode) override {
    calls.push_back(session->tokens().accessToken + " " + name + " " + platform + " " +
                    pairingCode.value_or("-"));
    co_await gate.pass();
    if (failure) std::rethrow_exception(failure);
    sdk::DeviceSummary summary;
    summary.id = "d1";
    summary.name = registryName.value_or(name);
    summary.platform = platform;
    co_return summary;
  }

  std::optional<std::string> registryName;  // the name the registry answers with
  std::exception_ptr failure;
  Gate gate;
  std::vector<std::string> calls;  // "<access token> <name> <platform> <pairing code or ->"
};

class FakeTokenStore : public app::TokenStoring {
 public:
  void save(const sdk::AuthTokens& tokens) override {
    if (saveFailure) throw std::runtime_error(*saveFailure);
    stored = tokens;
  }
  std::optional<sdk::AuthTokens> load() override { return stored; }
  void clear() override { stored.reset(); }

  std::optional<sdk::AuthTokens> stored;
  std::optional<std::string> saveFailure;
};

}  // namespace lumora::app_test
