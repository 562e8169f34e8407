#include "services/screen/synthetic_frame_source.h"

#include <cstring>

namespace lumora::services::screen {

void SyntheticFrameSource::start(platform::FrameHandler handler) {
  for (int i = 0; i < frameCount_; ++i) {
    auto frame = platform::PixelBuffer::allocate(width_, height_);
    if (!frame) continue;
    std::memset(frame->mutableData(), (10 * i) % 256, frame->byteCount());
    handler(*frame, static_cast<std::uint64_t>(33) * static_cast<std::uint64_t>(i));
  }
}

}  // namespace lumora::services::screen
