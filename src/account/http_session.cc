#include "account/http_session.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "account/account_api.h"
#include "account/asio_names.h"
#include "account/relay_admission.h"
#include "account/server_state.h"

namespace lumora::account {

namespace {

// One accepted connection until it upgrades to a relay connection or ends.
template <class Stream>
class HttpSession final : public Droppable,
                          public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  HttpSession(Stream stream, std::shared_ptr<ServerState> state, std::string remote,
              ConnectionLimit::Slot slot)
      : executor_(stream.get_executor()),
        stream_(std::move(stream)),
        state_(std::move(state)),
        remote_(std::move(remote)),
        slot_(std::move(slot)) {}

  void drop() override {
    asio::post(executor_, [self = this->shared_from_this()] {
      // After an upgrade the stream belongs to the relay connection, which the server drops
      // on its own.
      if (self->upgraded_) return;
      beast::error_code ignored;
      beast::get_lowest_layer(self->stream_).socket().close(ignored);
    });
  }

  static asio::awaitable<void> run(std::shared_ptr<HttpSession> self) {
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      beast::get_lowest_layer(self->stream_).expires_after(self->state_->options.idleTimeout);
      auto [ec] = co_await self->stream_.async_handshake(asio::ssl::stream_base::server,
                                                         as_tuple(use_awaitable));
      if (ec) co_return;
    }
    auto serving = self->serve();
    co_await std::move(serving);
  }

 private:
  asio::awaitable<void> serve() {
    const auto& options = state_->options;
    beast::flat_buffer buffer;
    for (;;) {
      http::request_parser<http::string_body> parser;
      parser.header_limit(16 * 1024);
      parser.body_limit(options.maxBodyBytes);
      beast::get_lowest_layer(stream_).expires_after(options.idleTimeout);
      auto [ec, ignored] =
          co_await http::async_read(stream_, buffer, parser, as_tuple(use_awaitable));
      const auto started = std::chrono::steady_clock::now();
      if (ec) {
        auto refusal = refusalOf(ec);
        if (refusal) {
          if (refusal->status == 413) {
            state_->metrics->countLimit(ec == http::error::body_limit ? "request_body"
                                                                      : "request_headers");
          }
          state_->metrics->countRequest("other", refusal->status);
          auto answering = respond(*refusal, false, 11);
          co_await std::move(answering);
          state_->log.info("- - " + std::to_string(refusal->status) + " " + remote_ + " (" +
                           ec.message() + ")");
        }
        break;
      }
      auto& request = parser.get();
      if (beast::websocket::is_upgrade(request)) {
        auto upgrading = upgrade(parser.release(), started);
        co_await std::move(upgrading);
        co_return;
      }
      HttpRequest ours{std::string(request.method_string()),
                       std::string(request.target()),
                       std::string(request[http::field::authorization]),
                       std::string(request[http::field::content_type]),
                       std::move(request.body()),
                       clientOf(request)};
      const std::string method = ours.method;
      const std::string target = ours.target;
      state_->requestsInFlight.fetch_add(1);
      HttpResponse response;
      if (state_->draining && method == "GET" && routeOf(target) == "/healthz") {
        // The balancer's cue to send nothing new here.
        response = jsonResponse(503, {{"status", "draining"}});
      } else {
        auto handling = state_->api->handle(std::move(ours));
        response = co_await std::move(handling);
      }
      // A draining instance lets the balancer open its next connection elsewhere.
      const bool keepAlive = request.keep_alive() && !state_->draining;
      // Logged before the answer goes out: a stop right after it must not lose the line.
      state_->logRequest(method, target, response.status, started, remote_);
      auto answering = respond(response, keepAlive, request.version());
      const bool sent = co_await std::move(answering);
      state_->requestsInFlight.fetch_sub(1);
      if (!sent || !keepAlive) break;
    }
    co_await closeGracefully();
  }

  // Who sent the request: the peer, or, from a trusted load balancer, the client it names last
  // (what the balancer itself saw; earlier entries are whatever the client claimed).
  std::string clientOf(const http::request<http::string_body>& request) const {
    if (!state_->trusted(remote_)) return remote_;
    std::string_view forwarded = request["X-Forwarded-For"];
    const auto comma = forwarded.rfind(',');
    if (comma != std::string_view::npos) forwarded.remove_prefix(comma + 1);
    while (forwarded.starts_with(' ')) forwarded.remove_prefix(1);
    while (forwarded.ends_with(' ')) forwarded.remove_suffix(1);
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(forwarded, ec);
    return ec ? remote_ : address.to_string();
  }

  // What to answer a request that could not be read; nothing when the peer just went away.
  static std::optional<HttpResponse> refusalOf(const beast::error_code& ec) {
    if (ec == http::error::body_limit) {
      return errorResponse({413, "payload_too_large", "the request body is too large"});
    }
    if (ec == http::error::header_limit) {
      return errorResponse({413, "payload_too_large", "the request headers are too large"});
    }
    if (ec == http::error::end_of_stream || ec == http::error::partial_message ||
        ec.category() != http::make_error_code(http::error::bad_target).category()) {
      return std::nullopt;
    }
    return errorResponse({400, "bad_request", "malformed HTTP request"});
  }

  asio::awaitable<bool> respond(const HttpResponse& response, bool keepAlive, unsigned version) {
    beast::get_lowest_layer(stream_).expires_after(state_->options.idleTimeout);
    auto writing = writeResponse(stream_, response, keepAlive, version);
    co_return co_await std::move(writing);
  }

  // An upgrade the relay refuses is answered here, as any request; an admitted one's stream is
  // the relay's from then on.
  asio::awaitable<void> upgrade(http::request<http::string_body> request, RequestStart started) {
    const std::string target(request.target());
    RelayAdmission admission = admitToRelay(*state_, target);
    if (admission.refusal) {
      state_->logRequest("GET", target, admission.refusal->status, started, remote_);
      // The answer outlives the coroutine that writes it (a temporary would not), and that
      // coroutine is awaited from a local: GCC 12 destroys a temporary handed to a coroutine in
      // the awaited expression twice.
      const HttpResponse refusal = errorResponse(*admission.refusal);
      auto answering = respond(refusal, false, 11);
      co_await std::move(answering);
      co_await closeGracefully();
      co_return;
    }
    upgraded_ = true;
    auto joining = joinRelay(std::move(stream_), std::move(request), std::move(admission),
                             std::move(slot_), state_, remote_, started);
    co_await std::move(joining);
  }

  asio::awaitable<void> closeGracefully() {
    beast::error_code ignored;
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(5));
      co_await stream_.async_shutdown(as_tuple(use_awaitable));
    } else {
      stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    }
    beast::get_lowest_layer(stream_).socket().close(ignored);
  }

  asio::any_io_executor executor_;  // the connection's strand
  Stream stream_;
  std::shared_ptr<ServerState> state_;
  std::string remote_;
  ConnectionLimit::Slot slot_;  // handed to the relay connection on an upgrade
  bool upgraded_ = false;
};

template <class Stream>
void start(Stream stream, std::shared_ptr<ServerState> state, std::string remote,
           ConnectionLimit::Slot slot) {
  auto executor = stream.get_executor();
  auto session = std::make_shared<HttpSession<Stream>>(std::move(stream), state, std::move(remote),
                                                       std::move(slot));
  if (state->track(session)) {
    asio::co_spawn(executor, HttpSession<Stream>::run(session), asio::detached);
  }
}

}  // namespace

void startHttpSession(tcp::socket socket, std::shared_ptr<ServerState> state, std::string remote,
                      ConnectionLimit::Slot slot) {
  if (state->tls) {
    TlsStream stream(beast::tcp_stream(std::move(socket)), *state->tls);
    start(std::move(stream), std::move(state), std::move(remote), std::move(slot));
  } else {
    start(PlainStream(std::move(socket)), std::move(state), std::move(remote), std::move(slot));
  }
}

}  // namespace lumora::account
