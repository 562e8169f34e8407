#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace lumora::sdk::internal {

// The loopback end of a browser sign-in: a listener on 127.0.0.1 at a port the system picks,
// where the provider sends the browser back. A GET of the callback path whose "state" is the
// one this sign-in sent is answered with a short page saying that sign-in finished, and its
// target handed on. Any local program can reach the port, so a GET of the callback path with
// another state or none gets 400 and a page saying that the answer did not match, and the
// sign-in goes on waiting; anything else gets 404.
// Each connection carries one request and is closed after the answer; one that sends no
// complete request header (at most 8 KiB) within the connection time-out is dropped, so
// browsers' idle speculative connections cannot pile up, and beyond 16 open connections new
// ones are closed at once.
//
// Threads: constructed on any thread; everything else runs on the io_context's thread.
class RedirectServer : public std::enable_shared_from_this<RedirectServer> {
 public:
  using OnCallback = std::function<void(const std::string& target)>;

  // Binds and listens at once; throws boost::system::system_error when it cannot.
  RedirectServer(boost::asio::io_context& io, std::string callbackPath, std::string expectedState,
                 std::chrono::milliseconds connectionTimeout);

  std::uint16_t port() const { return port_; }

  // Starts accepting. `onCallback` gets the request target (path and query) of the first
  // callback with the expected state, once its page is written.
  void start(OnCallback onCallback);
  // Stops accepting; connections still open are not answered. Idempotent.
  void close();

 private:
  boost::asio::awaitable<void> acceptLoop();
  boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket socket);

  boost::asio::ip::tcp::acceptor acceptor_;
  std::string callbackPath_;
  std::string expectedState_;
  std::chrono::milliseconds connectionTimeout_;
  std::uint16_t port_ = 0;
  OnCallback onCallback_;
  int openConnections_ = 0;
  bool closed_ = false;
};

}  // namespace lumora::sdk::internal
