#pragma once

// Internal to the server: one accepted connection's HTTP/1.1 session.

#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <string>

#include "account/connection_limit.h"

namespace lumora::account {

struct ServerState;

// Serves `socket` (over TLS when the server has a certificate) on its executor: reads requests
// within the header, body and idle limits, answers each through the routes with keep-alive
// (none once the server drains, when /healthz answers 503), logs each, and hands a WebSocket
// upgrade to the relay. `slot` is the place the connection holds for `remote`'s address.
void startHttpSession(boost::asio::ip::tcp::socket socket, std::shared_ptr<ServerState> state,
                      std::string remote, ConnectionLimit::Slot slot);

}  // namespace lumora::account
