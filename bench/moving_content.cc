#include "moving_content.h"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

namespace lumora::bench {

namespace {

void fill(xcb_connection_t* c, xcb_drawable_t target, xcb_gcontext_t gc, std::uint32_t rgb,
          int x, int y, int width, int height) {
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &rgb);
  const xcb_rectangle_t rect{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                             static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)};
  xcb_poly_fill_rectangle(c, target, gc, 1, &rect);
}

// A tall picture that looks like application windows: panels with title bars, rows of
// word-sized marks standing in for text, and colour gradients standing in for images.
void paintDesktopPicture(xcb_connection_t* c, xcb_pixmap_t picture, xcb_gcontext_t gc, int width,
                         int height) {
  std::mt19937 random(7);
  auto between = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  fill(c, picture, gc, 0xf0f0f0, 0, 0, width, height);
  for (int panelY = 0; panelY < height; panelY += between(180, 420)) {
    const int panelX = between(0, width / 3);
    const int panelWidth = between(width / 3, width - panelX);
    const int panelHeight = between(150, 400);
    fill(c, picture, gc, 0x2b579a + static_cast<std::uint32_t>(between(0, 0x30)), panelX, panelY,
         panelWidth, 28);
    fill(c, picture, gc, 0xffffff, panelX, panelY + 28, panelWidth, panelHeight);
    for (int line = panelY + 40; line < panelY + 28 + panelHeight - 14; line += 18) {
      for (int x = panelX + 12; x < panelX + panelWidth - 60;) {
        const int word = between(12, 70);
        fill(c, picture, gc, between(0, 3) == 0 ? 0x1a0dab : 0x202124, x, line, word, 10);
        x += word + 7;
      }
    }
    if (between(0, 1) == 0) {
      const int imageX = panelX + panelWidth / 2;
      const int imageWidth = panelWidth / 3;
      for (int row = 0; row < panelHeight / 2; row += 4) {
        const auto shade = static_cast<std::uint32_t>(row * 255 / std::max(1, panelHeight / 2));
        fill(c, picture, gc, (shade << 16) | ((255 - shade) << 8) | 0x60, imageX,
             panelY + 40 + row, imageWidth, 4);
      }
    }
  }
}

}  // namespace

MovingContent::MovingContent(const std::string& display, int width, int height, Mode mode)
    : thread_([this, display, width, height, mode] { run(display, width, height, mode); }) {}

MovingContent::~MovingContent() {
  stop_ = true;
  thread_.join();
}

void MovingContent::run(std::string display, int width, int height, Mode mode) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_window_t window = xcb_generate_id(c);
  const std::uint32_t values[] = {0x202020, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0,
                    static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c, window);
  const xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, window, 0, nullptr);

  const int pictureHeight = height * 3;
  const xcb_pixmap_t picture = xcb_generate_id(c);
  xcb_create_pixmap(c, screen->root_depth, picture, window, static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(pictureHeight));
  paintDesktopPicture(c, picture, gc, width, pictureHeight);
  xcb_copy_area(c, picture, window, gc, 0, 0, 0, 0, static_cast<std::uint16_t>(width),
                static_cast<std::uint16_t>(height));

  constexpr int kBox = 256;
  auto next = std::chrono::steady_clock::now();
  for (int step = 1; !stop_; ++step) {
    if (mode == Mode::fullScreen) {
      const int offset = (step * 6) % (pictureHeight - height);
      xcb_copy_area(c, picture, window, gc, 0, static_cast<std::int16_t>(offset), 0, 0,
                    static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height));
    } else {
      const int offset = (step * 6) % (pictureHeight - kBox);
      xcb_copy_area(c, picture, window, gc, static_cast<std::int16_t>(width / 2),
                    static_cast<std::int16_t>(offset), static_cast<std::int16_t>(width / 2),
                    static_cast<std::int16_t>(height / 2), kBox, kBox);
    }
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    next += std::chrono::microseconds(16667);
    std::this_thread::sleep_until(next);
  }
  xcb_free_pixmap(c, picture);
  xcb_disconnect(c);
}

}  // namespace lumora::bench
