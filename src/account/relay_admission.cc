#include "account/relay_admission.h"

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/url/parse.hpp>

#include "account/account_api.h"
#include "account/asio_names.h"
#include "protocol/auth_crypto.h"
#include "protocol/relay_notices.h"

namespace lumora::account {

namespace websocket = beast::websocket;

namespace {

std::optional<ApiError> refusalOfJoin(RelayRooms::Join join, RelaySide side) {
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

// Why `join` refuses `side`, counted; `joined`: the join happened (not only asked about).
std::optional<ApiError> refusalOf(const ServerState& state, RelayRooms::Join join, RelaySide side,
                                  bool joined = true) {
  auto refusal = refusalOfJoin(join, side);
  if (join == RelayRooms::Join::full) state.metrics->countLimit("relay_rooms");
  if (!refusal && joined)
    (side == RelaySide::host ? state.metrics->hostsJoined : state.metrics->peersJoined).add();
  return refusal;
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

// The host proves that it holds the key the room is named after, answering a fresh challenge
// within the time limit; until then it holds no room.
template <class WebSocket>
asio::awaitable<bool> proveHost(WebSocket& socket, const std::string& room,
                                std::chrono::milliseconds timeout) {
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
  deadline.expires_after(timeout);
  auto reading = socket.async_read(answer, as_tuple(use_awaitable));
  auto waiting = deadline.async_wait(as_tuple(use_awaitable));
  auto first = co_await (std::move(reading) || std::move(waiting));
  if (first.index() != 0 || std::get<0>(std::get<0>(first)) || !socket.got_text()) {
    co_return false;
  }
  co_return protocol::RelayNotice::verifyProof(room, challenge,
                                               beast::buffers_to_string(answer.data()));
}

}  // namespace

RelayAdmission admitToRelay(const ServerState& state, const std::string& target) {
  const auto url = boost::urls::parse_origin_form(target);
  const std::string path = url ? std::string(url->path()) : std::string();
  if (!path.starts_with("/relay/") || path == "/relay/token") {
    return {{}, {}, {}, ApiError{404, "not_found", "WebSocket upgrades are for /relay/{room}"}};
  }
  RelayAdmission admission{path.substr(7), RelaySide::host, {}, std::nullopt};
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
    const auto& api = *state.api;
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
  admission.refusal = refusalOf(state, state.rooms->wouldJoin(admission.room, admission.side),
                                admission.side, false);
  return admission;
}

template <class Stream>
asio::awaitable<void> joinRelay(Stream stream, http::request<http::string_body> request,
                                RelayAdmission admission, ConnectionLimit::Slot slot,
                                std::shared_ptr<ServerState> state, std::string remote,
                                RequestStart started) {
  const std::string target(request.target());
  const std::string& room = admission.room;
  const RelaySide side = admission.side;
  const auto& options = state->options;

  websocket::stream<Stream> socket(std::move(stream));
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
    auto connection = makeHolding<RelayConnection<Stream>>(
        std::move(slot), std::move(socket), state->rooms, room, side, std::move(admission.account),
        options.relay, state->metrics);
    if (auto refusal = refusalOf(*state, state->rooms->join(room, side, connection), side)) {
      state->logRequest("GET", target, refusal->status, started, remote);
      // Held here: the coroutine that writes it keeps only a reference.
      const HttpResponse answer = errorResponse(*refusal);
      auto refusing =
          writeResponse(connection->socket().next_layer(), answer, false, request.version());
      co_await std::move(refusing);
      co_return;
    }
    auto [ec] = co_await connection->socket().async_accept(request, as_tuple(use_awaitable));
    state->logRequest("GET", target, ec ? 400 : 101, started, remote);
    if (ec || !state->track(connection)) {
      connection->abandon();
      co_return;
    }
    connection->start();
    co_return;
  }

  auto [ec] = co_await socket.async_accept(request, as_tuple(use_awaitable));
  state->logRequest("GET", target, ec ? 400 : 101, started, remote);
  if (ec) co_return;
  auto proving = proveHost(socket, room, options.relay.hostProofTimeout);
  const bool proven = co_await std::move(proving);
  auto connection =
      makeHolding<RelayConnection<Stream>>(std::move(slot), std::move(socket), state->rooms, room,
                                           side, std::string(), options.relay, state->metrics);
  auto& ws = connection->socket();
  std::optional<ApiError> refusal;
  if (!proven) {
    refusal = ApiError{401, "unauthorized", "the room key did not verify"};
  } else {
    refusal = refusalOf(*state, state->rooms->join(room, side, connection), side);
  }
  if (refusal) {
    state->log.info("relay host refused in " + room + " from " + remote + ": " + refusal->message);
    // A host turned away by a draining instance joins again at once, elsewhere.
    const auto code = refusal->code == "draining" ? websocket::close_code::service_restart
                                                  : websocket::close_code::policy_error;
    co_await ws.async_close(websocket::close_reason(code, refusal->message),
                            as_tuple(use_awaitable));
    co_return;
  }
  if (!state->track(connection)) {
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

template asio::awaitable<void> joinRelay<PlainStream>(PlainStream, http::request<http::string_body>,
                                                      RelayAdmission, ConnectionLimit::Slot,
                                                      std::shared_ptr<ServerState>, std::string,
                                                      RequestStart);
template asio::awaitable<void> joinRelay<TlsStream>(TlsStream, http::request<http::string_body>,
                                                    RelayAdmission, ConnectionLimit::Slot,
                                                    std::shared_ptr<ServerState>, std::string,
                                                    RequestStart);

}  // namespace lumora::account
