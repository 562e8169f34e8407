#pragma once

#include <boost/asio/awaitable.hpp>

#include "core/peer_id.h"
#include "protocol/envelope.h"

namespace lumora::router {

// Answers one authenticated request envelope with exactly one reply envelope. The dispatcher
// is the production one; connection tests use a fake.
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  // `peer` is the connection the request came from.
  virtual boost::asio::awaitable<protocol::Envelope> handle(protocol::Envelope request,
                                                            core::PeerID peer) = 0;
};

}  // namespace lumora::router
