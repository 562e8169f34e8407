#pragma once

#include <boost/asio/any_io_executor.hpp>

#include <cstdint>
#include <memory>
#include <string>

#include "account/metrics.h"

namespace lumora::account {

// GET /metrics on an address of its own (--metrics-listen), apart from the public port: what it
// tells (traffic, sign-in outcomes, limits hit) is for the people who run the service. Plain
// HTTP, one request per connection, a few connections at a time.
//
// Threads: construct, bind, serve and stop from one thread; connections run on the executor.
class MetricsServer {
 public:
  MetricsServer(boost::asio::any_io_executor executor, std::shared_ptr<ServiceMetrics> metrics);
  ~MetricsServer();

  // Binds host:port and returns "http://host:port". Throws boost::system::system_error.
  std::string bind(const std::string& host, std::uint16_t port);
  void serve();
  void stop();

  struct State;  // shared with the connections

 private:
  std::shared_ptr<State> state_;
};

}  // namespace lumora::account
