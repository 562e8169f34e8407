#pragma once

// Internal to the server: what happens to a WebSocket upgrade at /relay/{room}. The HTTP
// session asks admitToRelay first and answers a refusal itself; an admitted upgrade's
// connection is then handed to joinRelay, which accepts it, makes the host prove its room key
// and puts the connection in its room.

#include <boost/asio/awaitable.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <memory>
#include <optional>
#include <string>

#include "account/connection_limit.h"
#include "account/http_message.h"
#include "account/relay_rooms.h"
#include "account/server_state.h"

namespace lumora::account {

// Where an upgrade request wants to go: the room, the side and (for a peer) the account its
// token names, or why it may not.
struct RelayAdmission {
  std::string room;
  RelaySide side = RelaySide::host;
  std::string account;
  std::optional<ApiError> refusal;
};

// Checks the target's room name and, for a peer, its relay token, and whether the room would
// take that side now.
RelayAdmission admitToRelay(const ServerState& state, const std::string& target);

// Accepts the upgrade on `stream` and runs the relay connection it becomes, which keeps `slot`
// (the place the connection took for its address) while it lives. A peer joins its room before
// the upgrade is answered, so that a room taken or left meanwhile is still refused with a
// status; the host is answered at once and then has to prove the room's key within the time
// limit. Logs the request as the session would have.
template <class Stream>
boost::asio::awaitable<void> joinRelay(
    Stream stream, boost::beast::http::request<boost::beast::http::string_body> request,
    RelayAdmission admission, ConnectionLimit::Slot slot, std::shared_ptr<ServerState> state,
    std::string remote, RequestStart started);

extern template boost::asio::awaitable<void> joinRelay<PlainStream>(
    PlainStream, boost::beast::http::request<boost::beast::http::string_body>, RelayAdmission,
    ConnectionLimit::Slot, std::shared_ptr<ServerState>, std::string, RequestStart);
extern template boost::asio::awaitable<void> joinRelay<TlsStream>(
    TlsStream, boost::beast::http::request<boost::beast::http::string_body>, RelayAdmission,
    ConnectionLimit::Slot, std::shared_ptr<ServerState>, std::string, RequestStart);

}  // namespace lumora::account
