#pragma once

#include "platform/pixel_buffer.h"

#include <cstdint>
#include <functional>

namespace lumora::platform {

// Receives each captured frame and its presentation time in milliseconds. Called on the
// source's capture thread; it must hand heavy work on quickly and be safe to call from any
// thread, since a later source may call it from another.
using FrameHandler = std::function<void(const PixelBuffer& frame, std::uint64_t timeMillis)>;

// A producer of raw screen frames. Frames that did not change need not be delivered, so the
// rate is at most the one asked for.
//
// start() blocks until capture runs (or throws why it cannot); stop() returns once no further
// handler call will begin, and calling it twice is harmless. Neither may be called from inside
// the handler.
class FrameSource {
 public:
  virtual ~FrameSource() = default;

  virtual void start(FrameHandler handler) = 0;
  virtual void stop() = 0;
};

}  // namespace lumora::platform
