#include "transport/tcp_listeners.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <chrono>
#include <optional>

namespace lumora::transport {

namespace asio = boost::asio;
using asio::ip::tcp;

struct TcpListeners::Listener {
  Listener(tcp::acceptor bound, OnAccept handler)
      : acceptor(std::move(bound)), pause(acceptor.get_executor()), onAccept(std::move(handler)) {}
  tcp::acceptor acceptor;
  asio::steady_timer pause;  // while the process is out of descriptors
  OnAccept onAccept;
};

namespace {

// Failures that leave the connection waiting in the backlog: accepting again at once fails the
// same way, so the loop would spin until something else frees a descriptor.
bool outOfResources(const boost::system::error_code& ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec == boost::system::errc::too_many_files_open_in_system;
}

asio::awaitable<tcp::endpoint> endpointFor(const asio::any_io_executor& executor,
                                           const std::optional<std::string>& host,
                                           std::uint16_t port) {
  if (!host || host->empty()) co_return tcp::endpoint(tcp::v4(), port);
  boost::system::error_code notAnAddress;
  auto address = asio::ip::make_address(*host, notAnAddress);
  if (!notAnAddress) co_return tcp::endpoint(address, port);
  tcp::resolver resolver(executor);
  auto results = co_await resolver.async_resolve(*host, std::to_string(port), asio::use_awaitable);
  co_return results.begin()->endpoint();
}

}  // namespace

TcpListeners::TcpListeners(asio::any_io_executor executor) : executor_(std::move(executor)) {}

TcpListeners::~TcpListeners() { stop(); }

asio::awaitable<std::uint16_t> TcpListeners::start(std::uint16_t port,
                                                   const std::vector<std::string>& hosts,
                                                   OnAccept onAccept) {
  std::vector<std::optional<std::string>> wanted(hosts.begin(), hosts.end());
  if (wanted.empty()) wanted.emplace_back(std::nullopt);

  std::vector<std::shared_ptr<Listener>> listeners;
  std::uint16_t bound = port;
  for (const auto& host : wanted) {
    const tcp::endpoint endpoint = co_await endpointFor(executor_, host, bound);
    tcp::acceptor acceptor(executor_);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    bound = acceptor.local_endpoint().port();
    listeners.push_back(std::make_shared<Listener>(std::move(acceptor), onAccept));
  }
  {
    std::lock_guard guard(lock_);
    listeners_ = listeners;
    port_ = bound;
  }
  for (auto& listener : listeners) {
    asio::co_spawn(executor_, acceptLoop(listener), asio::detached);
  }
  co_return bound;
}

asio::awaitable<void> TcpListeners::acceptLoop(std::shared_ptr<Listener> listener) {
  constexpr auto kFirstPause = std::chrono::milliseconds(20);
  constexpr auto kLongestPause = std::chrono::seconds(1);
  auto pause = kFirstPause;
  for (;;) {
    auto [ec, socket] = co_await listener->acceptor.async_accept(
        asio::make_strand(listener->acceptor.get_executor()), asio::as_tuple(asio::use_awaitable));
    if (ec == asio::error::operation_aborted || !listener->acceptor.is_open()) co_return;
    if (outOfResources(ec)) {
      // Give the connections that end meanwhile a chance to free descriptors, waiting longer
      // each time the shortage persists.
      listener->pause.expires_after(pause);
      co_await listener->pause.async_wait(asio::as_tuple(asio::use_awaitable));
      pause = std::min<std::chrono::milliseconds>(pause * 2, kLongestPause);
      continue;
    }
    if (ec) continue;  // a connection that failed during the handshake; keep accepting
    pause = kFirstPause;
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    listener->onAccept(std::move(socket));
  }
}

void TcpListeners::stop() {
  std::vector<std::shared_ptr<Listener>> listeners;
  {
    std::lock_guard guard(lock_);
    listeners.swap(listeners_);
    port_ = 0;
  }
  for (auto& listener : listeners) {
    boost::system::error_code ignored;
    listener->acceptor.close(ignored);
    listener->pause.cancel();
  }
}

std::uint16_t TcpListeners::port() {
  std::lock_guard guard(lock_);
  return port_;
}

std::string describeHosts(const std::vector<std::string>& hosts) {
  if (hosts.empty()) return "*";
  std::string joined;
  for (const auto& host : hosts) joined += (joined.empty() ? "" : ",") + host;
  return joined;
}

}  // namespace lumora::transport
