#pragma once

#include "core/agent_log.h"
#include "platform/fitted_size.h"
#include "platform/frame_source.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace lumora::platform::x11 {

// Live capture of one X display (a RandR monitor) on a thread of its own ("lumora.capture").
//
// Frames are BGRA at fittedSize(display, box), the cursor drawn in, paced at `fps`. The server
// writes each image into shared memory; at the display's own size that memory is handed out
// as the frame, otherwise libswscale scales it into a pooled buffer. DAMAGE and cursor
// notifications tell whether anything changed, so an idle desktop is never read back and no
// frame is delivered. A consumer holding every pooled frame makes the source skip ticks
// instead of allocating more.
//
// start() and stop() are for one owning thread (not the handler). The handler runs on the
// capture thread.
class FrameSourceX11 : public FrameSource {
 public:
  // `displayName` empty means $DISPLAY; `displayID` none means the first display; `fps` below 1
  // counts as 1.
  FrameSourceX11(std::string displayName, std::optional<int> maxWidth, std::optional<int> maxHeight,
                 std::optional<std::uint32_t> displayID, int fps);
  ~FrameSourceX11() override;

  static FrameSize fittedSize(int displayWidth, int displayHeight, std::optional<int> maxWidth,
                              std::optional<int> maxHeight) {
    return platform::fittedSize(displayWidth, displayHeight, maxWidth, maxHeight);
  }

  // Throws CaptureError: "no display available" (code 1), or the X11 failure (code 2).
  void start(FrameHandler handler) override;
  void stop() override;

  int fps() const { return fps_; }
  // 0 until started.
  int capturedWidth() const { return capturedWidth_.load(); }
  int capturedHeight() const { return capturedHeight_.load(); }

 private:
  struct Session;
  void run(std::shared_ptr<Session> session);

  const std::string displayName_;
  const std::optional<int> maxWidth_;
  const std::optional<int> maxHeight_;
  const std::optional<std::uint32_t> displayID_;
  const int fps_;
  core::AgentLog log_{"capture"};
  std::atomic<int> capturedWidth_{0};
  std::atomic<int> capturedHeight_{0};

  std::mutex mutex_;  // guards stopping_ for the thread's timed wait
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace lumora::platform::x11
