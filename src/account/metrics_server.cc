#include "account/metrics_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <optional>

#include "account/asio_names.h"

namespace lumora::account {

namespace {
// A scraper or two, and someone with curl: more at once than this is not a scraper.
constexpr int kMaxConnections = 8;
constexpr auto kTimeout = std::chrono::seconds(10);
}  // namespace

struct MetricsServer::State {
  asio::any_io_executor executor;
  std::shared_ptr<ServiceMetrics> metrics;
  asio::any_io_executor strand;
  std::optional<tcp::acceptor> acceptor;
  std::atomic<int> connections{0};
};

namespace {

asio::awaitable<void> answer(std::shared_ptr<MetricsServer::State> state,
                             beast::tcp_stream stream) {
  beast::flat_buffer buffer;
  http::request_parser<http::empty_body> parser;
  parser.header_limit(8 * 1024);
  stream.expires_after(kTimeout);
  auto [ec, ignored] = co_await http::async_read(stream, buffer, parser, as_tuple(use_awaitable));
  if (!ec) {
    const auto& request = parser.get();
    http::response<http::string_body> response;
    response.version(request.version());
    response.keep_alive(false);
    const std::string_view target = request.target();
    if (target.substr(0, target.find('?')) != "/metrics") {
      response.result(http::status::not_found);
      response.set(http::field::content_type, "text/plain");
      response.body() = "only /metrics here\n";
    } else if (request.method() != http::verb::get && request.method() != http::verb::head) {
      response.result(http::status::method_not_allowed);
      response.set(http::field::allow, "GET, HEAD");
    } else {
      response.result(http::status::ok);
      response.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
      response.body() = state->metrics->registry.exposition();
    }
    response.prepare_payload();
    co_await http::async_write(stream, response, as_tuple(use_awaitable));
  }
  beast::error_code closing;
  stream.socket().shutdown(tcp::socket::shutdown_both, closing);
  state->connections.fetch_sub(1);
}

asio::awaitable<void> acceptLoop(std::shared_ptr<MetricsServer::State> state) {
  for (;;) {
    auto [ec, socket] = co_await state->acceptor->async_accept(asio::make_strand(state->executor),
                                                               as_tuple(use_awaitable));
    if (ec) {
      if (!state->acceptor->is_open()) break;
      continue;
    }
    if (state->connections.fetch_add(1) >= kMaxConnections) {
      state->connections.fetch_sub(1);
      continue;  // closed as it goes out of scope
    }
    auto executor = socket.get_executor();
    asio::co_spawn(executor, answer(state, beast::tcp_stream(std::move(socket))), asio::detached);
  }
}

}  // namespace

MetricsServer::MetricsServer(asio::any_io_executor executor,
                             std::shared_ptr<ServiceMetrics> metrics)
    : state_(std::make_shared<State>()) {
  state_->executor = std::move(executor);
  state_->metrics = std::move(metrics);
  state_->strand = asio::make_strand(state_->executor);
}

MetricsServer::~MetricsServer() { stop(); }

std::string MetricsServer::bind(const std::string& host, std::uint16_t port) {
  const auto address = asio::ip::make_address(host);
  const tcp::endpoint endpoint(address, port);
  state_->acceptor.emplace(state_->strand);
  state_->acceptor->open(endpoint.protocol());
  state_->acceptor->set_option(tcp::acceptor::reuse_address(true));
  state_->acceptor->bind(endpoint);
  state_->acceptor->listen();
  const std::string shown = address.is_v6() ? "[" + host + "]" : host;
  return "http://" + shown + ":" + std::to_string(state_->acceptor->local_endpoint().port());
}

void MetricsServer::serve() { asio::co_spawn(state_->strand, acceptLoop(state_), asio::detached); }

void MetricsServer::stop() {
  if (!state_->acceptor) return;
  asio::post(state_->strand, [state = state_] {
    boost::system::error_code ignored;
    state->acceptor->close(ignored);
  });
}

}  // namespace lumora::account
