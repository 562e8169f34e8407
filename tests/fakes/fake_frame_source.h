#pragma once

#include "platform/frame_source.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace lumora::fakes {

// Delivers the frames queued with `frames` synchronously from start(), then whatever the test
// pushes with emit(). Counts its starts and stops.
class FakeFrameSource : public platform::FrameSource {
 public:
  struct Frame {
    platform::PixelBuffer buffer;
    std::uint64_t timeMillis;
  };

  void start(platform::FrameHandler handler) override {
    std::vector<Frame> initial;
    {
      std::lock_guard lock(mutex_);
      ++starts;
      handler_ = std::move(handler);
      initial = frames;
    }
    for (const auto& f : initial) emit(f.buffer, f.timeMillis);
  }
  void stop() override {
    std::lock_guard lock(mutex_);
    ++stops;
    handler_ = nullptr;
  }
  void emit(const platform::PixelBuffer& buffer, std::uint64_t timeMillis) {
    platform::FrameHandler handler;
    {
      std::lock_guard lock(mutex_);
      handler = handler_;
    }
    if (handler) handler(buffer, timeMillis);
  }

  std::vector<Frame> frames;
  std::atomic<int> starts = 0;
  std::atomic<int> stops = 0;

 private:
  std::mutex mutex_;
  platform::FrameHandler handler_;
};

}  // namespace lumora::fakes
