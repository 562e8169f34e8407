#include "account/account_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/url/parse.hpp>

#include <algorithm>
#include <atomic>
#include <list>
#include <mutex>
#include <optional>

#include "account/account_api.h"
#include "account/connection_limit.h"
#include "account/relay_connection.h"
#include "core/agent_log.h"
#include "protocol/auth_crypto.h"
#include "protocol/relay_notices.h"

namespace lumora::account {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::as_tuple;
using asio::use_awaitable;
using asio::ip::tcp;

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

struct ServerState {
  asio::any_io_executor executor;
  std::shared_ptr<AccountApi> api;
  AccountServer::Options options;
  core::AgentLog log{"account"};
  std::shared_ptr<RelayRooms> rooms;
  asio::any_io_executor acceptorStrand;
  std::optional<tcp::acceptor> acceptor;
  std::optional<asio::ssl::context> tls;
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

  std::mutex lock;  // guards the two below
  std::list<std::weak_ptr<Droppable>> connections;
  bool stopped = false;

  // Remembers a connection for stop(); false when the server has already stopped.
  bool track(const std::shared_ptr<Droppable>& connection) {
    std::lock_guard guard(lock);
    if (stopped) return false;
    if (connections.size() % 64 == 0) {
      connections.remove_if([](const auto& weak) { return weak.expired(); });
    }
    connections.push_back(connection);
    return true;
  }
};

namespace {

using Clock = std::chrono::steady_clock;

// The target as the log shows it: relay tokens are credentials and stay out.
std::string loggedTarget(std::string_view target) {
  if (target.starts_with("/relay/") && target.find('?') != std::string_view::npos) {
    return std::string(target.substr(0, target.find('?'))) + "?token=…";
  }
  return std::string(target.substr(0, 256));
}

std::string remoteOf(const tcp::socket& socket) {
  boost::system::error_code ec;
  auto endpoint = socket.remote_endpoint(ec);
  return ec ? std::string("unknown") : endpoint.address().to_string();
}

// `response` as an HTTP message of `version` on `stream`: whether it was written.
template <class Stream>
asio::awaitable<bool> writeResponse(Stream& stream, const HttpResponse& response, bool keepAlive,
                                    unsigned version) {
  http::response<http::string_body> message(static_cast<http::status>(response.status), version);
  message.set(http::field::server, "lumora-account-service");
  if (!response.contentType.empty()) message.set(http::field::content_type, response.contentType);
  for (const auto& [name, value] : response.headers) message.set(name, value);
  message.keep_alive(keepAlive);
  message.body() = response.body;
  message.prepare_payload();
  auto [ec, written] = co_await http::async_write(stream, message, as_tuple(use_awaitable));
  co_return !ec;
}

// A `T` made from `args` that holds `slot` until it is destroyed: a relay connection keeps the
// place its HTTP session took for its address.
template <class T, class... Args>
std::shared_ptr<T> makeHolding(ConnectionLimit::Slot slot, Args&&... args) {
  return std::shared_ptr<T>(new T(std::forward<Args>(args)...),
                            [slot = std::move(slot)](T* object) mutable {
                              delete object;
                              // Given back here: the deleter itself lives on as long as
                              // anyone holds a weak pointer to the connection.
                              [[maybe_unused]] const auto given = std::move(slot);
                            });
}

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
      const auto started = Clock::now();
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
      if (websocket::is_upgrade(request)) {
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
      logRequest(method, target, response.status, started);
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

  void logRequest(const std::string& method, std::string_view target, int status,
                  Clock::time_point started) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count();
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1fms", static_cast<double>(micros) / 1000.0);
    state_->log.info(method + " " + loggedTarget(target) + " " + std::to_string(status) + " " +
                     elapsed + " " + remote_);
    state_->metrics->countRequest(routeOf(target), status);
  }

  asio::awaitable<void> refuseUpgrade(const ApiError& error, std::string_view target,
                                      Clock::time_point started) {
    const HttpResponse response = errorResponse(error);
    logRequest("GET", target, error.status, started);
    auto answering = respond(response, false, 11);
    co_await std::move(answering);
    co_await closeGracefully();
  }

  // Where an upgrade request wants to go: the room, the side and (for a peer) the account its
  // token names, or why it may not.
  struct Admission {
    std::string room;
    RelaySide side = RelaySide::host;
    std::string account;
    std::optional<ApiError> refusal;
  };
  Admission admit(const std::string& target) const {
    const auto url = boost::urls::parse_origin_form(target);
    const std::string path = url ? std::string(url->path()) : std::string();
    if (!path.starts_with("/relay/") || path == "/relay/token") {
      return {{}, {}, {}, ApiError{404, "not_found", "WebSocket upgrades are for /relay/{room}"}};
    }
    Admission admission{path.substr(7), RelaySide::host, {}, std::nullopt};
    if (!protocol::RelayNotice::isRoom(admission.room)) {
      admission.refusal = ApiError{400, "bad_request", "not a room name"};
      return admission;
    }
    std::string token;
    if (auto found = url->params().find("token"); found != url->params().end()) {
      token = (*found).value;
    }
    // The host side (the agent) joins without a token and proves the room's key once it is in;
    // the peer side needs a token for this room.
    if (!token.empty()) {
      admission.side = RelaySide::peer;
      const auto& api = *state_->api;
      auto grant = api.signer().openRelayToken(token, api.clock()());
      if (!grant) {
        admission.refusal =
            ApiError{401, "unauthorized", "the relay token is not valid or has expired"};
        return admission;
      }
      if (!TokenSigner::roomAdmits(grant->room, admission.room)) {
        admission.refusal = ApiError{403, "forbidden", "the relay token is for another room"};
        return admission;
      }
      admission.account = std::move(grant->userId);
    }
    admission.refusal =
        refusalOf(state_->rooms->wouldJoin(admission.room, admission.side), admission.side, false);
    return admission;
  }

  // Why `join` refuses `side`, counted; `joined`: the join happened (not only asked about).
  std::optional<ApiError> refusalOf(RelayRooms::Join join, RelaySide side,
                                    bool joined = true) const {
    auto refusal = refusalOfJoin(join, side);
    if (join == RelayRooms::Join::full) state_->metrics->countLimit("relay_rooms");
    if (!refusal && joined)
      (side == RelaySide::host ? state_->metrics->hostsJoined : state_->metrics->peersJoined).add();
    return refusal;
  }

  static std::optional<ApiError> refusalOfJoin(RelayRooms::Join join, RelaySide side) {
    switch (join) {
      case RelayRooms::Join::joined:
        return std::nullopt;
      case RelayRooms::Join::occupied:
        return ApiError{409, "room_side_taken",
                        side == RelaySide::host ? "this room already has its host"
                                                : "this room already has its peer"};
      case RelayRooms::Join::noHost:
        return ApiError{404, "no_host", "the agent is not in its relay room"};
      case RelayRooms::Join::full:
        return ApiError{503, "relay_full", "the relay holds as many rooms as it may"};
      case RelayRooms::Join::draining:
        return ApiError{503, "draining", "this instance is shutting down: join again"};
    }
    return ApiError{500, "internal", "unknown room state"};
  }

  // The host proves that it holds the key the room is named after, answering a fresh challenge
  // within the time limit; until then it holds no room.
  template <class WebSocket>
  asio::awaitable<bool> proveHost(WebSocket& socket, const std::string& room) {
    using namespace asio::experimental::awaitable_operators;
    const protocol::Bytes challenge =
        protocol::AuthCrypto::randomNonce(protocol::RelayNotice::kChallengeSize);
    socket.text(true);
    const std::string asked = protocol::RelayNotice::challenge(challenge);
    auto [writeError, written] =
        co_await socket.async_write(asio::buffer(asked), as_tuple(use_awaitable));
    if (writeError) co_return false;
    socket.read_message_max(protocol::RelayNotice::kMaxSize);
    beast::flat_buffer answer;
    asio::steady_timer deadline(socket.get_executor());
    deadline.expires_after(state_->options.relay.hostProofTimeout);
    auto reading = socket.async_read(answer, as_tuple(use_awaitable));
    auto waiting = deadline.async_wait(as_tuple(use_awaitable));
    auto first = co_await (std::move(reading) || std::move(waiting));
    if (first.index() != 0 || std::get<0>(std::get<0>(first)) || !socket.got_text()) {
      co_return false;
    }
    co_return protocol::RelayNotice::verifyProof(room, challenge,
                                                 beast::buffers_to_string(answer.data()));
  }

  asio::awaitable<void> upgrade(http::request<http::string_body> request,
                                Clock::time_point started) {
    const std::string target(request.target());
    Admission admission = admit(target);
    if (admission.refusal) {
      // Awaited from a local: GCC 12 destroys a temporary handed to a coroutine in the awaited
      // expression twice.
      auto refusing = refuseUpgrade(*admission.refusal, target, started);
      co_await std::move(refusing);
      co_return;
    }
    const std::string& room = admission.room;
    const RelaySide side = admission.side;

    const auto& options = state_->options;
    upgraded_ = true;
    websocket::stream<Stream> socket(std::move(stream_));
    beast::get_lowest_layer(socket).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = std::chrono::seconds(30);
    timeouts.idle_timeout = std::chrono::seconds(60);  // a dead agent frees its room
    timeouts.keep_alive_pings = true;
    socket.set_option(timeouts);
    // Each relayed message goes out as one frame in one gathered write, not in 4 KiB pieces.
    socket.auto_fragment(false);
    socket.write_buffer_bytes(64 * 1024);
    socket.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
      response.set(http::field::server, "lumora-account-service");
    }));

    if (side == RelaySide::peer) {
      // A peer joins before its upgrade is answered, so that a room taken or left meanwhile is
      // still refused with a status.
      auto connection = makeHolding<RelayConnection<Stream>>(
          std::move(slot_), std::move(socket), state_->rooms, room, side,
          std::move(admission.account), options.relay, state_->metrics);
      if (auto refusal = refusalOf(state_->rooms->join(room, side, connection), side)) {
        logRequest("GET", target, refusal->status, started);
        auto refusing = writeResponse(connection->socket().next_layer(), errorResponse(*refusal),
                                      false, request.version());
        co_await std::move(refusing);
        co_return;
      }
      auto [ec] = co_await connection->socket().async_accept(request, as_tuple(use_awaitable));
      logRequest("GET", target, ec ? 400 : 101, started);
      if (ec || !state_->track(connection)) {
        connection->abandon();
        co_return;
      }
      connection->start();
      co_return;
    }

    auto [ec] = co_await socket.async_accept(request, as_tuple(use_awaitable));
    logRequest("GET", target, ec ? 400 : 101, started);
    if (ec) co_return;
    auto proving = proveHost(socket, room);
    const bool proven = co_await std::move(proving);
    auto connection = makeHolding<RelayConnection<Stream>>(std::move(slot_), std::move(socket),
                                                           state_->rooms, room, side, std::string(),
                                                           options.relay, state_->metrics);
    auto& ws = connection->socket();
    std::optional<ApiError> refusal;
    if (!proven) {
      refusal = ApiError{401, "unauthorized", "the room key did not verify"};
    } else {
      refusal = refusalOf(state_->rooms->join(room, side, connection), side);
    }
    if (refusal) {
      state_->log.info("relay host refused in " + room + " from " + remote_ + ": " +
                       refusal->message);
      // A host turned away by a draining instance joins again at once, elsewhere.
      const auto code = refusal->code == "draining" ? websocket::close_code::service_restart
                                                    : websocket::close_code::policy_error;
      co_await ws.async_close(websocket::close_reason(code, refusal->message),
                              as_tuple(use_awaitable));
      co_return;
    }
    if (!state_->track(connection)) {
      connection->abandon();
      co_return;
    }
    ws.text(true);
    const std::string admitted = protocol::RelayNotice::admitted();
    auto [admitError, admitWritten] =
        co_await ws.async_write(asio::buffer(admitted), as_tuple(use_awaitable));
    if (admitError) {
      connection->abandon();
      co_return;
    }
    connection->start();
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

asio::awaitable<void> acceptLoop(std::shared_ptr<ServerState> state) {
  asio::steady_timer pause(state->acceptorStrand);
  for (;;) {
    // Each connection on a strand of its own.
    const asio::any_io_executor strand = asio::make_strand(state->executor);
    auto [ec, socket] = co_await state->acceptor->async_accept(strand, as_tuple(use_awaitable));
    if (ec) {
      if (ec == asio::error::operation_aborted || !state->acceptor->is_open()) break;
      // Out of descriptors or similar: give closing connections a moment instead of spinning.
      pause.expires_after(std::chrono::milliseconds(50));
      co_await pause.async_wait(as_tuple(use_awaitable));
      continue;
    }
    boost::system::error_code ignored;
    std::string remote = remoteOf(socket);
    auto admission = state->trusted(remote) ? state->proxyConnections.admit(remote)
                                            : state->connectionLimit->admit(remote);
    if (!admission.slot) {
      state->metrics->countLimit("connections_per_address");
      // Closed before anything is read or allocated for it.
      socket.close(ignored);
      if (admission.startsRefusing) {
        state->log.error(remote + " holds " + std::to_string(state->connectionLimit->perAddress()) +
                         " connections, the most one address may: closing its new ones until "
                         "some of those end");
      }
      continue;
    }
    socket.set_option(tcp::no_delay(true), ignored);
    auto executor = socket.get_executor();
    if (state->tls) {
      auto session = std::make_shared<HttpSession<TlsStream>>(
          TlsStream(beast::tcp_stream(std::move(socket)), *state->tls), state, std::move(remote),
          std::move(*admission.slot));
      if (state->track(session)) {
        asio::co_spawn(executor, HttpSession<TlsStream>::run(session), asio::detached);
      }
    } else {
      auto session = std::make_shared<HttpSession<PlainStream>>(
          PlainStream(std::move(socket)), state, std::move(remote), std::move(*admission.slot));
      if (state->track(session)) {
        asio::co_spawn(executor, HttpSession<PlainStream>::run(session), asio::detached);
      }
    }
  }
}

}  // namespace

AccountServer::AccountServer(asio::any_io_executor executor, Options options,
                             std::shared_ptr<ServiceMetrics> metrics)
    : state_(std::make_shared<ServerState>()) {
  state_->metrics = std::move(metrics);
  state_->executor = std::move(executor);
  state_->options = std::move(options);
  state_->connectionLimit.emplace(state_->options.maxConnectionsPerAddress);
  state_->rooms = std::make_shared<RelayRooms>(state_->options.relay.maxRooms);
  // Read when scraped; the rooms may outlive the server in the connections still closing.
  std::weak_ptr<RelayRooms> rooms = state_->rooms;
  state_->metrics->registry.gauge("lumora_relay_rooms_open", "Relay rooms open now", [rooms] {
    auto held = rooms.lock();
    return held ? static_cast<double>(held->roomCount()) : 0.0;
  });
  std::weak_ptr<ServerState> weak = state_;
  state_->metrics->registry.gauge("lumora_draining", "1 once the instance is shutting down",
                                  [weak] {
                                    auto held = weak.lock();
                                    return held && held->draining ? 1.0 : 0.0;
                                  });
}

AccountServer::~AccountServer() { stop(); }

std::uint16_t AccountServer::bind() {
  const auto& options = state_->options;
  if (!options.tlsCertificateFile.empty() || !options.tlsKeyFile.empty()) {
    state_->tls.emplace(asio::ssl::context::tls_server);
    try {
      state_->tls->set_options(asio::ssl::context::default_workarounds |
                               asio::ssl::context::no_sslv2 | asio::ssl::context::no_sslv3 |
                               asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
      state_->tls->use_certificate_chain_file(options.tlsCertificateFile);
      state_->tls->use_private_key_file(options.tlsKeyFile, asio::ssl::context::pem);
    } catch (const boost::system::system_error& e) {
      throw std::runtime_error("cannot use the TLS certificate or key: " + std::string(e.what()));
    }
  }
  const auto address = asio::ip::make_address(options.host);
  tcp::endpoint endpoint(address, options.port);
  // The accept loop and stop() meet on one strand: the network runs on more than one thread.
  state_->acceptorStrand = asio::make_strand(state_->executor);
  state_->acceptor.emplace(state_->acceptorStrand);
  state_->acceptor->open(endpoint.protocol());
  state_->acceptor->set_option(tcp::acceptor::reuse_address(true));
  state_->acceptor->bind(endpoint);
  state_->acceptor->listen(asio::socket_base::max_listen_connections);
  const std::uint16_t port = state_->acceptor->local_endpoint().port();
  const std::string host = address.is_v6() ? "[" + options.host + "]" : options.host;
  state_->url = (state_->tls ? "https://" : "http://") + host + ":" + std::to_string(port);
  return port;
}

void AccountServer::serve(std::shared_ptr<AccountApi> api) {
  state_->api = std::move(api);
  asio::co_spawn(state_->acceptorStrand, acceptLoop(state_), asio::detached);
}

void AccountServer::stop() {
  std::list<std::weak_ptr<Droppable>> connections;
  {
    std::lock_guard guard(state_->lock);
    if (state_->stopped) return;
    state_->stopped = true;
    connections.swap(state_->connections);
  }
  if (state_->acceptor) {
    asio::post(state_->acceptorStrand, [state = state_] {
      boost::system::error_code ignored;
      state->acceptor->close(ignored);
    });
  }
  for (auto& weak : connections) {
    if (auto connection = weak.lock()) connection->drop();
  }
}

void AccountServer::drain() {
  if (state_->draining.exchange(true)) return;
  if (state_->acceptor) {
    asio::post(state_->acceptorStrand, [state = state_] {
      boost::system::error_code ignored;
      state->acceptor->close(ignored);
    });
  }
  state_->rooms->closeAllForRestart();
}

bool AccountServer::draining() const { return state_->draining; }

bool AccountServer::drained() const {
  return state_->draining && state_->rooms->roomCount() == 0 && state_->requestsInFlight == 0;
}

std::string AccountServer::url() const { return state_->url; }

std::size_t AccountServer::relayRoomCount() const { return state_->rooms->roomCount(); }

}  // namespace lumora::account
