#pragma once

// Keeps an X screen changing, from an X client and a thread of its own, until destroyed. Each
// step is a copy inside the X server from pictures painted once at the start, so the animator
// itself costs next to nothing:
//   noise            — a new picture of noise over the whole screen about 30 times a second:
//                      every captured frame changes everywhere and the encoder spends its whole
//                      bit budget, so a stream runs at its full rate and size;
//   scrollingDesktop — a desktop-like picture (panels, lines of text, gradients) scrolling past
//                      the whole screen 60 times a second, as a page scrolls in a browser;
//   scrollingBox     — the same picture cycling inside one 256 × 256 box, the rest still.

#include <atomic>
#include <string>
#include <thread>

namespace lumora::testing_support {

class ScreenAnimator {
 public:
  enum class Mode { noise, scrollingDesktop, scrollingBox };

  // Throws std::runtime_error when the display cannot be reached.
  ScreenAnimator(const std::string& display, Mode mode);
  ~ScreenAnimator();
  ScreenAnimator(const ScreenAnimator&) = delete;
  ScreenAnimator& operator=(const ScreenAnimator&) = delete;

 private:
  struct Scene;
  void run(Scene* scene);

  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace lumora::testing_support
