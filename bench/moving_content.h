#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace lumora::bench {

// Keeps part of a display changing, from an X client of its own, until destroyed:
//   fullScreen — a desktop-like picture (panels, text lines, gradients) scrolling past the
//                whole screen, the way a page scrolls in a browser;
//   smallArea  — the same picture cycling inside one 256 × 256 box, the rest left still.
// The picture lives in a server-side pixmap, so each step is a copy inside the X server and
// the client costs next to nothing. Steps come 60 times a second, so every capture tick at
// 30 fps sees a change.
class MovingContent {
 public:
  enum class Mode { fullScreen, smallArea };

  MovingContent(const std::string& display, int width, int height, Mode mode);
  ~MovingContent();
  MovingContent(const MovingContent&) = delete;
  MovingContent& operator=(const MovingContent&) = delete;

 private:
  void run(std::string display, int width, int height, Mode mode);

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace lumora::bench
