#pragma once

// Keeps an X screen busy: a window over all of it shows a new picture of noise about 30 times
// a second, from a thread of its own. Noise differs from frame to frame everywhere, so every
// captured frame changes and the encoder spends its whole bit budget on it: the stream runs at
// its full rate and size.

#include <xcb/xcb.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace lumora::load {

class ScreenAnimator {
 public:
  // Throws std::runtime_error when the display cannot be reached.
  explicit ScreenAnimator(const std::string& display);
  ~ScreenAnimator();
  ScreenAnimator(const ScreenAnimator&) = delete;
  ScreenAnimator& operator=(const ScreenAnimator&) = delete;

 private:
  void uploadNoise(xcb_pixmap_t pixmap, unsigned seed);
  void run();

  xcb_connection_t* connection_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  int width_ = 0;
  int height_ = 0;
  std::uint8_t depth_ = 0;
  std::vector<xcb_pixmap_t> pictures_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace lumora::load
