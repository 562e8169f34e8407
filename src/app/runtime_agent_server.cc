#include "app/runtime_agent_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace lumora::app {

namespace asio = boost::asio;

RuntimeAgentServer::RuntimeAgentServer(runtime::AgentRuntime::Options options,
                                       asio::any_io_executor network, asio::any_io_executor work)
    : network_(network),
      runtime_(std::make_unique<runtime::AgentRuntime>(std::move(options), network, work)),
      released_(network) {}

RuntimeAgentServer::~RuntimeAgentServer() = default;

asio::awaitable<runtime::AgentServingInfo> RuntimeAgentServer::start() {
  auto starting = [this]() -> asio::awaitable<runtime::AgentServingInfo> {
    co_await lock();
    try {
      auto info = co_await runtime_->start();
      unlock();
      co_return info;
    } catch (...) {
      unlock();
      throw;
    }
  };
  // Built outside the awaited expression: GCC 12 destroys a temporary handed to a coroutine
  // there twice.
  auto started = asio::co_spawn(network_, starting(), asio::use_awaitable);
  co_return co_await std::move(started);
}

asio::awaitable<void> RuntimeAgentServer::stop() {
  auto stopping = [this]() -> asio::awaitable<void> {
    co_await lock();
    co_await runtime_->stop();
    unlock();
  };
  auto stopped = asio::co_spawn(network_, stopping(), asio::use_awaitable);
  co_await std::move(stopped);
}

asio::awaitable<void> RuntimeAgentServer::lock() {
  while (busy_) {
    released_.expires_at(asio::steady_timer::time_point::max());
    co_await released_.async_wait(asio::as_tuple(asio::use_awaitable));
  }
  busy_ = true;
}

void RuntimeAgentServer::unlock() {
  busy_ = false;
  released_.cancel();
}

}  // namespace lumora::app
