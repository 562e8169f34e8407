#pragma once

#include <boost/asio/any_io_executor.hpp>

#include <memory>
#include <string>

#include "account/metrics.h"
#include "account/records.h"
#include "account/service_config.h"

namespace lumora::account {

class AccountStore;
class MetricsServer;

// The whole service assembled from its configuration: the store, the identity providers (and
// the --dev stand-ins), the routes and the server. The program runs one; tests run several.
//
// Threads: construct, start and stop from one thread.
class AccountService {
 public:
  // `network` runs the sockets, `worker` the blocking database calls.
  AccountService(ServiceConfig config, boost::asio::any_io_executor network,
                 boost::asio::any_io_executor worker, Clock clock = systemNow);
  ~AccountService();

  // Opens the database (migrating it), binds and starts serving; returns the URL. Throws
  // StoreError, boost::system::system_error or std::runtime_error when it cannot, and when
  // other users may read the SQLite database or the TLS key.
  std::string start();
  void stop();
  // Stops taking new work and closes the relay's rooms with 1012; see AccountServer::drain.
  void drain();
  bool drained() const;

  const ServiceConfig& config() const { return config_; }
  std::string url() const;
  std::size_t relayRoomCount() const;
  // "http://addr:port" of GET /metrics, when the configuration asks for it.
  std::string metricsUrl() const { return metricsUrl_; }
  ServiceMetrics& metrics() { return *metrics_; }
  // Present with --dev.
  const DevProviders* dev() const { return dev_.get(); }

 private:
  ServiceConfig config_;
  boost::asio::any_io_executor network_;
  boost::asio::any_io_executor worker_;
  Clock clock_;
  std::shared_ptr<ServiceMetrics> metrics_ = std::make_shared<ServiceMetrics>();
  std::unique_ptr<AccountServer> server_;
  std::unique_ptr<MetricsServer> metricsServer_;
  std::string metricsUrl_;
  std::shared_ptr<DevProviders> dev_;
};

}  // namespace lumora::account
