#pragma once

#include <boost/asio/awaitable.hpp>

#include <string>

namespace lumora::core {

// What every agent service offers the runtime. Each service runs its work on its own strand;
// start() may fail by throwing, stop() never fails.
class AgentService {
 public:
  virtual ~AgentService() = default;

  // The instance's name, "<kind>-service".
  virtual std::string name() const = 0;
  virtual boost::asio::awaitable<void> start() = 0;
  virtual boost::asio::awaitable<void> stop() = 0;
};

}  // namespace lumora::core
