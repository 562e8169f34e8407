#pragma once

#include <cstdint>

namespace lumora::platform::linux_os {

// Turns pixel scroll deltas into wheel clicks. What is left of a delta after whole clicks is
// kept for the next one, so a run of small deltas (a slow finger) still scrolls; a delta in the
// other direction drops what was left over, so reversing reacts at once. Not thread-safe.
class WheelSteps {
 public:
  static constexpr std::int64_t kPixelsPerClick = 32;
  // One event never produces more than this many clicks per axis: a peer asking for a
  // two-billion-pixel scroll must not tie the X server up for minutes.
  static constexpr std::int64_t kMaxClicksPerEvent = 100;

  // Signed clicks for this delta: positive means up (vertical) or left (horizontal).
  std::int32_t vertical(std::int32_t pixels) { return step(verticalRemainder_, pixels); }
  std::int32_t horizontal(std::int32_t pixels) { return step(horizontalRemainder_, pixels); }

 private:
  static std::int32_t step(std::int64_t& remainder, std::int32_t pixels);

  std::int64_t verticalRemainder_ = 0;
  std::int64_t horizontalRemainder_ = 0;
};

}  // namespace lumora::platform::linux_os
