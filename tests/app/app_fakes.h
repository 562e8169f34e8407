#pragma once

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/agent_controller.h"

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
    co_await stopGate.pass();
  }

  runtime::AgentServingInfo info{"192.168.0.7", 47800, 47801, "lan", "123456", "f1", {}, {}};
  std::optional<std::string> startFailure;
  Gate startGate, stopGate;
  int startCalls = 0, stopCalls = 0;
};

}  // namespace lumora::app_test
