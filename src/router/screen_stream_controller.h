#pragma once

#include <boost/asio/awaitable.hpp>

#include "protocol/input_screen_payloads.h"

namespace lumora::router {

// Starts and stops the screen stream; the stream coordinator implements it. Both may fail by
// throwing.
class ScreenStreamController {
 public:
  virtual ~ScreenStreamController() = default;
  virtual boost::asio::awaitable<void> startStream(protocol::CaptureFrameRequest request) = 0;
  virtual boost::asio::awaitable<void> stopStream() = 0;
};

}  // namespace lumora::router
