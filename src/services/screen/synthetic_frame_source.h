#pragma once

#include "platform/frame_source.h"

namespace lumora::services::screen {

// A capture-free source for tests: start() delivers `frameCount` flat frames synchronously on
// the caller's thread, frame i filled with the byte (10 × i) mod 256 at time 33 × i ms.
// Frames whose size cannot be allocated are skipped. stop() does nothing.
class SyntheticFrameSource : public platform::FrameSource {
 public:
  SyntheticFrameSource(int width, int height, int frameCount)
      : width_(width), height_(height), frameCount_(frameCount) {}

  void start(platform::FrameHandler handler) override;
  void stop() override {}

  int width() const { return width_; }
  int height() const { return height_; }
  int frameCount() const { return frameCount_; }

 private:
  int width_;
  int height_;
  int frameCount_;
};

}  // namespace lumora::services::screen
