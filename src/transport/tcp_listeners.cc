#include "transport/tcp_listeners.h"

#include <boost/asio/use_awaitable.hpp>

#include <optional>

namespace lumora::transport {

namespace asio = boost::asio;
using asio::ip::tcp;

asio::awaitable<BoundListeners> bindListeners(asio::any_io_executor executor, std::uint16_t port,
                                              const std::vector<std::string>& hosts) {
  std::vector<std::optional<std::string>> wanted(hosts.begin(), hosts.end());
  if (wanted.empty()) wanted.emplace_back(std::nullopt);

  BoundListeners bound;
  bound.port = port;
  for (const auto& host : wanted) {
    tcp::endpoint endpoint(tcp::v4(), bound.port);
    if (host && !host->empty()) {
      boost::system::error_code notAnAddress;
      auto address = asio::ip::make_address(*host, notAnAddress);
      if (!notAnAddress) {
        endpoint = tcp::endpoint(address, bound.port);
      } else {
        tcp::resolver resolver(executor);
        auto results =
            co_await resolver.async_resolve(*host, std::to_string(bound.port), asio::use_awaitable);
        endpoint = results.begin()->endpoint();
      }
    }
    tcp::acceptor acceptor(executor);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    bound.port = acceptor.local_endpoint().port();
    bound.acceptors.push_back(std::move(acceptor));
  }
  co_return bound;
}

std::string describeHosts(const std::vector<std::string>& hosts) {
  if (hosts.empty()) return "*";
  std::string joined;
  for (const auto& host : hosts) joined += (joined.empty() ? "" : ",") + host;
  return joined;
}

}  // namespace lumora::transport
