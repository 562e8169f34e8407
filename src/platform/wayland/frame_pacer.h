#pragma once

// Used by the PipeWire frame source only; not part of this folder's interface.

#include "platform/fitted_size.h"
#include "platform/pixel_buffer.h"

#include <chrono>
#include <utility>
#include <vector>

namespace lumora::platform::wayland {

// When a frame is made and whether it is delivered: at most one an interval, the same pixels
// never twice in a row, and frames from a small pool, so that a consumer holding all of them
// delays delivery (a retry an interval later) instead of growing the pool. Plain state for one
// thread.
class FramePacer {
 public:
  using Clock = std::chrono::steady_clock;
  // As many frames as a consumer may hold at once; with all of them held, delivery waits.
  static constexpr int kPoolDepth = 5;

  // `fps` at least 1.
  explicit FramePacer(int fps) : interval_(std::chrono::nanoseconds(1'000'000'000 / fps)) {}

  // Frames of `size` from now on; false (and nothing changed) when their memory cannot be had.
  // Forgets the last delivered frame.
  bool resize(FrameSize size);

  // Whether a frame is due at `now` (an interval after the last); if so, one counts as made.
  bool due(Clock::time_point now);
  // How long after `now` the next frame is due; a whole interval when one was just made.
  Clock::duration untilDue(Clock::time_point now) const;

  // A frame of the pool that the consumer does not hold and that is not the last delivered
  // one; null when there is none, and then a retry is pending.
  PixelBuffer* freeFrame();
  // Whether the frame freeFrame() gave last shows something other than the last delivered
  // one; if so, it becomes the last delivered.
  bool isNew();
  // The next frame is new whatever it shows.
  void forgetDelivered() { lastDelivered_ = -1; }

  void requestRetry() { retry_ = true; }
  bool retryPending() const { return retry_; }
  // Whether a retry was pending; it no longer is.
  bool takeRetry() { return std::exchange(retry_, false); }

 private:
  const Clock::duration interval_;
  Clock::time_point lastFrame_{};
  std::vector<PixelBuffer> pool_;
  int lastDelivered_ = -1;
  int lastFree_ = -1;
  bool retry_ = false;
};

}  // namespace lumora::platform::wayland
