#include "app/agent_controller.h"

#include <exception>
#include <utility>

namespace lumora::app {

AgentController::AgentController(std::shared_ptr<AgentServer> server)
    : server_(std::move(server)) {}

boost::asio::awaitable<void> AgentController::start() {
  const auto which = status_.get().which;
  // Everything here runs on the main executor, so a second start that arrives while the first
  // awaits the server already sees `starting`.
  if (which == Status::Case::starting || which == Status::Case::serving) co_return;
  status_.set(Status::starting());

  std::optional<runtime::AgentServingInfo> info;
  std::string failure;
  try {
    info = co_await server_->start();
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "unknown error";
  }
  status_.set(info ? Status::serving(std::move(*info)) : Status::failed(std::move(failure)));
}

boost::asio::awaitable<void> AgentController::stop() {
  co_await server_->stop();
  status_.set(Status::stopped());
}

boost::asio::awaitable<void> AgentController::toggle() {
  if (isServing()) {
    co_await stop();
  } else {
    co_await start();
  }
}

}  // namespace lumora::app
