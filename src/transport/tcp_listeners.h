#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace lumora::transport {

// The listening side both servers share: one socket per bind host on a common port, each
// accepting connections (with Nagle off) onto a strand of their own and handing them over.
//
// Threads: start and stop from one thread; accepting runs on the executor given; port() from
// any thread.
class TcpListeners {
 public:
  using OnAccept = std::function<void(boost::asio::ip::tcp::socket)>;

  explicit TcpListeners(boost::asio::any_io_executor executor);
  ~TcpListeners();

  // Binds `port` on every host (0: the system picks one, and every further host then shares
  // it; no hosts: all interfaces; hosts may be addresses or names) and starts accepting.
  // Returns the bound port. Throws boost::system::system_error when a host cannot be bound.
  boost::asio::awaitable<std::uint16_t> start(std::uint16_t port,
                                              const std::vector<std::string>& hosts,
                                              OnAccept onAccept);
  // Closes every listening socket; accepted connections are their owners' business.
  void stop();
  // 0 when stopped.
  std::uint16_t port();

 private:
  struct Listener;
  static boost::asio::awaitable<void> acceptLoop(std::shared_ptr<Listener> listener);

  boost::asio::any_io_executor executor_;
  std::mutex lock_;  // guards listeners_ and port_
  std::vector<std::shared_ptr<Listener>> listeners_;
  std::uint16_t port_ = 0;
};

// The hosts as the servers' start lines print them: joined with ",", or "*" for all.
std::string describeHosts(const std::vector<std::string>& hosts);

}  // namespace lumora::transport
