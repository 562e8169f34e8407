#include "sdk/internal/tcp_connect.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>

#include "sdk/internal/one_shot.h"
#include "sdk/sdk_error.h"

namespace lumora::sdk::internal {

namespace asio = boost::asio;
using asio::ip::tcp;

std::string timeoutText(const std::string& prefix, std::chrono::duration<double> limit) {
  return prefix + std::to_string(static_cast<long long>(limit.count())) + "s";
}

std::exception_ptr checkPort(std::uint16_t port) {
  if (port != 0) return nullptr;
  return std::make_exception_ptr(
      SDKError::connectionFailed("invalid port " + std::to_string(port)));
}

namespace {

// Everything one connect attempt's handlers share; the last handler to finish frees it.
struct Attempt {
  Attempt(std::shared_ptr<tcp::socket> s, std::function<void(std::exception_ptr)> d)
      : socket(std::move(s)),
        resolver(socket->get_executor()),
        deadline(socket->get_executor()),
        done(std::move(d)) {}

  void finish(std::exception_ptr error) {
    if (!oneShot.fire()) return;
    deadline.cancel();
    resolver.cancel();
    done(std::move(error));
  }

  std::shared_ptr<tcp::socket> socket;
  tcp::resolver resolver;
  asio::steady_timer deadline;
  SDKOneShot oneShot;
  std::function<void(std::exception_ptr)> done;
};

std::exception_ptr failure(const boost::system::error_code& ec) {
  if (ec == asio::error::operation_aborted)
    return std::make_exception_ptr(SDKError::disconnected());
  return std::make_exception_ptr(SDKError::connectionFailed(ec.message()));
}

}  // namespace

void connectWithTimeout(std::shared_ptr<tcp::socket> socket, std::string host, std::uint16_t port,
                        std::chrono::duration<double> timeout, std::string timeoutPrefix,
                        std::function<bool()> abandoned,
                        std::function<void(std::exception_ptr)> done) {
  auto attempt = std::make_shared<Attempt>(std::move(socket), std::move(done));

  // A limit beyond a day is as good as none, and keeps the conversion in range.
  const std::chrono::duration<double> limit =
      std::clamp(timeout, std::chrono::duration<double>(0), std::chrono::duration<double>(86400));
  attempt->deadline.expires_after(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit));
  attempt->deadline.async_wait(
      [attempt, text = timeoutText(timeoutPrefix, timeout)](boost::system::error_code ec) {
        if (ec || attempt->oneShot.fired()) return;
        boost::system::error_code ignored;
        attempt->socket->close(ignored);
        attempt->finish(std::make_exception_ptr(SDKError::connectionFailed(text)));
      });

  attempt->resolver.async_resolve(
      host, std::to_string(port),
      [attempt, abandoned = std::move(abandoned)](boost::system::error_code ec,
                                                  tcp::resolver::results_type endpoints) {
        if (attempt->oneShot.fired()) return;
        if (ec) return attempt->finish(failure(ec));
        if (abandoned()) return attempt->finish(failure(asio::error::operation_aborted));
        asio::async_connect(
            *attempt->socket, endpoints,
            [attempt](boost::system::error_code connectError, const tcp::endpoint&) {
              attempt->finish(connectError ? failure(connectError) : nullptr);
            });
      });
}

}  // namespace lumora::sdk::internal
