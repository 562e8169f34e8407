#pragma once

#include <boost/asio/awaitable.hpp>

#include "protocol/envelope.h"

namespace lumora::router {

// Answers one authenticated request envelope with exactly one reply envelope. The dispatcher
// is the production one; connection tests use a fake.
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  virtual boost::asio::awaitable<protocol::Envelope> handle(protocol::Envelope request) = 0;
};

}  // namespace lumora::router
