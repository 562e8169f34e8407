#pragma once

// A bare TCP connection to the agent on loopback, for peers that RawClient does not play well:
// hundreds held open at once, bytes dripped into it, a receiver that stops reading. Sends never
// block and never raise SIGPIPE, so a connection the agent has dropped costs the test nothing.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "protocol/bytes.h"

namespace lumora::load {

class PlainConnection {
 public:
  // Connects to 127.0.0.1:port. A receive buffer above 0 is set before connecting, so the
  // window the agent sees is small from the start. Throws std::system_error on failure.
  explicit PlainConnection(std::uint16_t port, int receiveBuffer = 0);
  ~PlainConnection();
  PlainConnection(PlainConnection&& other) noexcept;
  PlainConnection& operator=(PlainConnection&& other) noexcept;
  PlainConnection(const PlainConnection&) = delete;
  PlainConnection& operator=(const PlainConnection&) = delete;

  // Sends as much as the socket takes now; false once the agent has closed or reset it.
  bool trySend(protocol::ByteView bytes);

  // Up to `size` bytes, waiting at most `limit`: the count read, 0 when nothing came in time,
  // nothing once the agent has closed the connection.
  std::optional<std::size_t> receiveSome(std::uint8_t* data, std::size_t size,
                                         std::chrono::milliseconds limit);

  // True when the agent closes the connection within `limit`; what arrives before is dropped.
  bool closedWithin(std::chrono::milliseconds limit);

 private:
  int fd_ = -1;
};

}  // namespace lumora::load
