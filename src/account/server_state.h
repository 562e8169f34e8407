#pragma once

// Internal to the server: what its listening socket, its HTTP sessions and its relay
// admissions share. Included by account_server.cc, http_session.cc and relay_admission.cc.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "account/account_server.h"
#include "account/connection_limit.h"
#include "account/http_message.h"
#include "account/relay_connection.h"
#include "core/agent_log.h"

namespace lumora::account {

using PlainStream = boost::beast::tcp_stream;
using TlsStream = boost::beast::ssl_stream<boost::beast::tcp_stream>;
// When a request was read, for its log line.
using RequestStart = std::chrono::steady_clock::time_point;

struct ServerState {
  boost::asio::any_io_executor executor;
  std::shared_ptr<AccountApi> api;
  AccountServer::Options options;
  core::AgentLog log{"account"};
  std::shared_ptr<RelayRooms> rooms;
  boost::asio::any_io_executor acceptorStrand;
  std::optional<boost::asio::ip::tcp::acceptor> acceptor;
  std::optional<boost::asio::ssl::context> tls;
  std::string url;
  std::optional<ConnectionLimit> connectionLimit;
  ConnectionLimit proxyConnections{0};  // a load balancer's: bounded by the balancer itself
  std::shared_ptr<ServiceMetrics> metrics;
  std::atomic<bool> draining{false};
  std::atomic<std::size_t> requestsInFlight{0};

  bool trusted(const std::string& remote) const {
    const auto& proxies = options.trustedProxies;
    return std::find(proxies.begin(), proxies.end(), remote) != proxies.end();
  }

  // One line per request (relay tokens left out of the target), and the request counted.
  void logRequest(const std::string& method, std::string_view target, int status,
                  RequestStart started, const std::string& remote) const;

  std::mutex lock;  // guards the two below
  std::list<std::weak_ptr<Droppable>> connections;
  bool stopped = false;

  // Remembers a connection for stop(); false when the server has already stopped.
  bool track(const std::shared_ptr<Droppable>& connection);
};

// `response` as an HTTP message of `version` on `stream`: whether it was written.
template <class Stream>
boost::asio::awaitable<bool> writeResponse(Stream& stream, const HttpResponse& response,
                                           bool keepAlive, unsigned version) {
  namespace http = boost::beast::http;
  http::response<http::string_body> message(static_cast<http::status>(response.status), version);
  message.set(http::field::server, "lumora-account-service");
  if (!response.contentType.empty()) message.set(http::field::content_type, response.contentType);
  for (const auto& [name, value] : response.headers) message.set(name, value);
  message.keep_alive(keepAlive);
  message.body() = response.body;
  message.prepare_payload();
  auto [ec, written] = co_await http::async_write(
      stream, message, boost::asio::as_tuple(boost::asio::use_awaitable));
  co_return !ec;
}

}  // namespace lumora::account
