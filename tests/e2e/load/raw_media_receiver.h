#pragma once

// A media receiver written against the wire format alone, whose reading the test controls: it
// presents its ticket, then reads and cuts frames only when asked, so it can stop reading for
// a while and let the agent's sends back up. Its receive buffer is set small before it
// connects, so little of what the agent sends can hide in the socket on this side.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "plain_connection.h"
#include "protocol/media_frame.h"

namespace lumora::load {

class RawMediaReceiver {
 public:
  RawMediaReceiver(std::uint16_t mediaPort, const std::string& ticket, int receiveBuffer);

  // Reads for `duration` and returns the headers of the frames completed meanwhile.
  std::vector<protocol::ScreenFrameMeta> readFor(std::chrono::milliseconds duration);

  // The agent closed the connection, or sent bytes that are not media frames.
  bool broken() const { return ended_ || decoder_.failed(); }

 private:
  PlainConnection connection_;
  protocol::MediaFrameDecoder decoder_;
  bool ended_ = false;
};

}  // namespace lumora::load
