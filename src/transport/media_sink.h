#pragma once

#include "protocol/media_frame.h"

namespace lumora::transport {

// Where encoded screen frames go: the media server, later the relay publisher. Called from the
// encoder's thread, so implementations hand the frame on quickly and are safe from any thread.
class MediaSink {
 public:
  virtual ~MediaSink() = default;
  virtual void broadcast(const protocol::MediaFrame& frame) = 0;
};

}  // namespace lumora::transport
