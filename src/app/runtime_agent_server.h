#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <memory>

#include "app/agent_controller.h"

namespace lumora::app {

// The agent runtime as the controller drives it. The runtime's start and stop run on its
// network executor (one thread), one at a time, whichever executor awaits them: a stop asked for
// while a start runs waits for it.
class RuntimeAgentServer final : public AgentServer {
 public:
  RuntimeAgentServer(runtime::AgentRuntime::Options options, boost::asio::any_io_executor network,
                     boost::asio::any_io_executor work);
  ~RuntimeAgentServer() override;

  boost::asio::awaitable<runtime::AgentServingInfo> start() override;
  boost::asio::awaitable<void> stop() override;

 private:
  // Network executor only.
  boost::asio::awaitable<void> lock();
  void unlock();

  boost::asio::any_io_executor network_;
  std::unique_ptr<runtime::AgentRuntime> runtime_;
  bool busy_ = false;
  boost::asio::steady_timer released_;
};

}  // namespace lumora::app
