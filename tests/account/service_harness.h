#pragma once

// The account service run in this test process on loopback, with a clock the test moves, in
// --dev mode over a private SQLite file unless the configuration says otherwise.

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "account/account_service.h"
#include "account_client.h"
#include "support/temp_dir.h"

namespace lumora::account::testing {

class ServiceUnderTest {
 public:
  // Starts at once; `configure` may change the configuration first (limits, lifetimes, TLS,
  // the database, --dev).
  explicit ServiceUnderTest(const std::function<void(ServiceConfig&)>& configure = {})
      : now_(systemNow()) {
    ServiceConfig config;
    config.database = "sqlite:" + folder_ / "accounts.sqlite";
    config.dev = true;
    config.server.host = "127.0.0.1";
    config.server.port = 0;
    if (configure) configure(config);
    service_ = std::make_unique<AccountService>(
        config, network_.get_executor(), worker_.get_executor(), [this] { return now_.load(); });
    certificate_ = config.server.tlsCertificateFile;
    url_ = service_->start();
    runner_ = std::thread([this] { network_.run(); });
  }
  ~ServiceUnderTest() {
    service_->stop();
    guard_.reset();
    network_.stop();
    runner_.join();
    worker_.join();
    service_.reset();
  }

  const std::string& url() const { return url_; }
  // Over TLS the client checks the certificate, which names localhost.
  AccountClient client() const {
    if (certificate_.empty()) return AccountClient(url_);
    return AccountClient("https://localhost" + url_.substr(url_.rfind(':')), {}, certificate_);
  }
  AccountService& service() { return *service_; }
  void advance(std::chrono::milliseconds by) { now_ += by.count(); }
  Millis now() const { return now_.load(); }

 private:
  testing_support::TempDir folder_;
  std::atomic<Millis> now_;
  boost::asio::thread_pool worker_{2};
  // After the pool: what is left on the network (coroutine frames) goes first.
  boost::asio::io_context network_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_{
      network_.get_executor()};
  std::unique_ptr<AccountService> service_;
  std::string url_;
  std::string certificate_;  // what an https service presents
  std::thread runner_;
};

}  // namespace lumora::account::testing
