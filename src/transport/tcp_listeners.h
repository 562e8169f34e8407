#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace lumora::transport {

struct BoundListeners {
  std::vector<boost::asio::ip::tcp::acceptor> acceptors;
  std::uint16_t port = 0;
};

// Opens one listening socket per host on `port` (0: the system picks one, and every further
// host then shares it). An empty host list means one socket on all interfaces. Hosts may be
// addresses or names. Throws boost::system::system_error when a host cannot be bound.
boost::asio::awaitable<BoundListeners> bindListeners(boost::asio::any_io_executor executor,
                                                     std::uint16_t port,
                                                     const std::vector<std::string>& hosts);

// The hosts as the servers' start lines print them: joined with ",", or "*" for all.
std::string describeHosts(const std::vector<std::string>& hosts);

}  // namespace lumora::transport
