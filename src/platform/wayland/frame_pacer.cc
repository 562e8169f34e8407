#include "platform/wayland/frame_pacer.h"

#include <cstring>

namespace lumora::platform::wayland {

bool FramePacer::resize(FrameSize size) {
  std::vector<PixelBuffer> pool;
  for (int i = 0; i < kPoolDepth; ++i) {
    auto buffer = PixelBuffer::allocate(size.width, size.height);
    if (!buffer) return false;
    pool.push_back(std::move(*buffer));
  }
  pool_ = std::move(pool);
  lastDelivered_ = -1;
  lastFree_ = -1;
  return true;
}

bool FramePacer::due(Clock::time_point now) {
  if (now - lastFrame_ < interval_) return false;
  lastFrame_ = now;
  return true;
}

FramePacer::Clock::duration FramePacer::untilDue(Clock::time_point now) const {
  const Clock::duration wait = lastFrame_ + interval_ - now;
  return wait > Clock::duration::zero() ? wait : interval_;
}

PixelBuffer* FramePacer::freeFrame() {
  for (int i = 0; i < static_cast<int>(pool_.size()); ++i) {
    if (i != lastDelivered_ && pool_[i].shareCount() == 1) {
      lastFree_ = i;
      return &pool_[i];
    }
  }
  retry_ = true;
  return nullptr;
}

bool FramePacer::isNew() {
  if (lastFree_ < 0) return false;
  const PixelBuffer& frame = pool_[lastFree_];
  // A producer that sends the same picture again (many do, at their own rate) costs one
  // comparison, not a frame.
  if (lastDelivered_ >= 0 &&
      std::memcmp(pool_[lastDelivered_].data(), frame.data(), frame.byteCount()) == 0) {
    return false;
  }
  lastDelivered_ = lastFree_;
  return true;
}

}  // namespace lumora::platform::wayland
