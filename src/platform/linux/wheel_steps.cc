#include "platform/linux/wheel_steps.h"

#include <algorithm>

namespace lumora::platform::linux_os {

std::int32_t WheelSteps::step(std::int64_t& remainder, std::int32_t pixels) {
  if ((pixels > 0 && remainder < 0) || (pixels < 0 && remainder > 0)) remainder = 0;
  remainder += pixels;
  const std::int64_t clicks = remainder / kPixelsPerClick;  // truncates toward zero
  remainder -= clicks * kPixelsPerClick;
  return static_cast<std::int32_t>(std::clamp(clicks, -kMaxClicksPerEvent, kMaxClicksPerEvent));
}

}  // namespace lumora::platform::linux_os
