#pragma once

// Keeps an X screen changing, from an X client and a thread of its own, until destroyed. The
// content paints its pictures once, at the start; each step then copies inside the X server, so
// the animator itself costs next to nothing. The tests' content is noise (below); the
// benchmarks add desktop-like scenes of their own.

#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace lumora::testing_support {

class ScreenAnimator {
 public:
  // A window over the whole screen, and the pictures (pixmaps as wide as it) steps copy from.
  struct Scene {
    xcb_connection_t* c;
    xcb_window_t window;
    xcb_gcontext_t gc;
    int width;
    int height;
    std::uint8_t depth;
    std::vector<xcb_pixmap_t> pictures;

    xcb_pixmap_t newPicture(int pictureHeight);
    void copy(xcb_pixmap_t from, int fromX, int fromY, int x, int y, int wide, int high);
  };
  struct Content {
    std::function<void(Scene&)> paint;
    std::function<void(Scene&, int number)> step;
    std::chrono::microseconds interval;
  };

  // A new picture of noise over the whole screen about 30 times a second: every captured frame
  // changes everywhere and the encoder spends its whole bit budget, so a stream runs at its
  // full rate and size.
  static Content noise();

  // Throws std::runtime_error when the display cannot be reached.
  ScreenAnimator(const std::string& display, Content content);
  ~ScreenAnimator();
  ScreenAnimator(const ScreenAnimator&) = delete;
  ScreenAnimator& operator=(const ScreenAnimator&) = delete;

 private:
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace lumora::testing_support
