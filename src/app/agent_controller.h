#pragma once

#include <boost/asio/awaitable.hpp>

#include <memory>
#include <optional>
#include <string>

#include "app/published.h"
#include "runtime/agent_runtime.h"

namespace lumora::app {

// What the controller starts and stops: the agent runtime in the application.
class AgentServer {
 public:
  virtual ~AgentServer() = default;
  // Assembles and starts the agent; throws what the start failed with.
  virtual boost::asio::awaitable<runtime::AgentServingInfo> start() = 0;
  // Never throws.
  virtual boost::asio::awaitable<void> stop() = 0;
};

// The application's one owner of the agent's run state.
//
// Threads: the application's main executor only: every operation is awaited there, and `status`
// is read and written there, so a start that arrives while another awaits the server sees
// `starting` and does nothing.
class AgentController {
 public:
  struct Status {
    enum class Case { stopped, starting, serving, failed };
    Case which = Case::stopped;
    std::optional<runtime::AgentServingInfo> info;  // serving only
    std::string failure;                            // failed only

    static Status stopped() { return {}; }
    static Status starting() { return {Case::starting, {}, {}}; }
    static Status serving(runtime::AgentServingInfo info) {
      return {Case::serving, std::move(info), {}};
    }
    static Status failed(std::string text) { return {Case::failed, {}, std::move(text)}; }
    bool operator==(const Status&) const = default;
  };

  explicit AgentController(std::shared_ptr<AgentServer> server);

  Published<Status>& status() { return status_; }
  bool isServing() const { return status_.get().which == Status::Case::serving; }
  // The serving status's info; nothing in any other state.
  std::optional<runtime::AgentServingInfo> serving() const { return status_.get().info; }

  // stopped/failed → starting → serving or failed (the error's what()); ignored while starting
  // or serving. Never throws.
  boost::asio::awaitable<void> start();
  // Awaits the server's stop whatever the state, then stopped.
  boost::asio::awaitable<void> stop();
  // Stops a serving agent; in any other state it is start().
  boost::asio::awaitable<void> toggle();

 private:
  std::shared_ptr<AgentServer> server_;
  Published<Status> status_;
};

}  // namespace lumora::app
