#pragma once

// The account service run in this test process on loopback, with a clock the test moves, over
// SQLite (a private file) or PostgreSQL (a fresh database on the shared throw-away server).

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
#include "support/postgres_server.h"
#include "support/temp_dir.h"

namespace lumora::account::testing {

enum class Database { sqlite, postgresql };

inline std::string nameOf(const ::testing::TestParamInfo<Database>& info) {
  return info.param == Database::sqlite ? "SQLite" : "PostgreSQL";
}

// The --database setting for a fresh store of the given kind; empty when PostgreSQL cannot run
// here (the caller skips, saying why).
inline std::string freshDatabase(Database kind, const testing_support::TempDir& folder) {
  if (kind == Database::sqlite) return "sqlite:" + folder / "accounts.sqlite";
  auto* server = testing_support::PostgresServer::shared();
  return server ? server->freshDatabase() : std::string();
}

#define SKIP_WITHOUT_DATABASE(url)                                                              \
  if ((url).empty()) {                                                                          \
    GTEST_SKIP() << "PostgreSQL cannot start here: " << testing_support::PostgresServer::why(); \
  }

class ServiceUnderTest {
 public:
  // Starts at once; `configure` may change the configuration first (limits, lifetimes).
  explicit ServiceUnderTest(std::string database, bool dev = true,
                            const std::function<void(ServiceConfig&)>& configure = {})
      : now_(systemNow()) {
    ServiceConfig config;
    config.database = std::move(database);
    config.dev = dev;
    config.server.host = "127.0.0.1";
    config.server.port = 0;
    if (configure) configure(config);
    service_ = std::make_unique<AccountService>(
        config, network_.get_executor(), worker_.get_executor(), [this] { return now_.load(); });
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
  AccountClient client() const { return AccountClient(url_); }
  AccountService& service() { return *service_; }
  void advance(std::chrono::milliseconds by) { now_ += by.count(); }
  Millis now() const { return now_.load(); }

 private:
  std::atomic<Millis> now_;
  boost::asio::thread_pool worker_{2};
  // After the pool: what is left on the network (coroutine frames) goes first.
  boost::asio::io_context network_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_{
      network_.get_executor()};
  std::unique_ptr<AccountService> service_;
  std::string url_;
  std::thread runner_;
};

}  // namespace lumora::account::testing
