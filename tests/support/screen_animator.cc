#include "support/screen_animator.h"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

namespace lumora::testing_support {

// The X side: a window over the whole screen and the pictures copied into it.
struct ScreenAnimator::Scene {
  Scene(Mode sceneMode, const std::string& display)
      : mode(sceneMode), c(xcb_connect(display.c_str(), nullptr)) {
    if (xcb_connection_has_error(c) != 0) {
      xcb_disconnect(c);
      throw std::runtime_error("screen animator: cannot reach " + display);
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    width = screen->width_in_pixels;
    height = screen->height_in_pixels;
    depth = screen->root_depth;
    // Override-redirect: no window manager runs, and the window must cover the screen exactly.
    const std::uint32_t values[] = {0x202020, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, w(), h(), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, window);
    xcb_create_gc(c, gc, window, 0, nullptr);
  }
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;
  ~Scene() { xcb_disconnect(c); }

  std::uint16_t w() const { return static_cast<std::uint16_t>(width); }
  std::uint16_t h() const { return static_cast<std::uint16_t>(height); }

  xcb_pixmap_t newPicture(int pictureHeight) {
    pictures.push_back(xcb_generate_id(c));
    xcb_create_pixmap(c, depth, pictures.back(), window, w(),
                      static_cast<std::uint16_t>(pictureHeight));
    return pictures.back();
  }

  void fill(xcb_drawable_t target, std::uint32_t rgb, int x, int y, int wide, int high) {
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t rect{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                               static_cast<std::uint16_t>(wide), static_cast<std::uint16_t>(high)};
    xcb_poly_fill_rectangle(c, target, gc, 1, &rect);
  }

  // Noise over the whole screen, in bands of rows below the core request size limit.
  void paintNoise(unsigned seed) {
    const xcb_pixmap_t picture = newPicture(height);
    std::minstd_rand random(seed);
    const int bandRows = std::max(1, (200 << 10) / (width * 4));
    std::vector<std::uint8_t> band(static_cast<std::size_t>(width * 4 * bandRows));
    for (int top = 0; top < height; top += bandRows) {
      const int rows = std::min(bandRows, height - top);
      for (auto& byte : band) byte = static_cast<std::uint8_t>(random());
      xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, picture, gc, w(),
                    static_cast<std::uint16_t>(rows), 0, static_cast<std::int16_t>(top), 0, depth,
                    static_cast<std::uint32_t>(width * 4 * rows), band.data());
    }
  }

  // Three screens tall of what looks like application windows: panels with title bars, rows
  // of word-sized marks standing in for text, and gradients standing in for images.
  void paintDesktop() {
    const int tall = 3 * height;
    const xcb_pixmap_t picture = newPicture(tall);
    std::mt19937 random(7);
    auto between = [&](int low, int high) {
      return std::uniform_int_distribution<int>(low, high)(random);
    };
    fill(picture, 0xf0f0f0, 0, 0, width, tall);
    for (int top = 0; top < tall; top += between(180, 420)) {
      const int left = between(0, width / 3);
      const int wide = between(width / 3, width - left);
      const int high = between(150, 400);
      fill(picture, 0x2b579a + static_cast<std::uint32_t>(between(0, 0x30)), left, top, wide, 28);
      fill(picture, 0xffffff, left, top + 28, wide, high);
      for (int line = top + 40; line < top + 14 + high; line += 18) {
        for (int x = left + 12, word = 0; x < left + wide - 60; x += word + 7) {
          word = between(12, 70);
          fill(picture, between(0, 3) == 0 ? 0x1a0dab : 0x202124, x, line, word, 10);
        }
      }
      if (between(0, 1) != 0) continue;
      for (int row = 0; row < high / 2; row += 4) {
        const auto shade = static_cast<std::uint32_t>(row * 255 / std::max(1, high / 2));
        fill(picture, (shade << 16) | ((255 - shade) << 8) | 0x60, left + wide / 2, top + 40 + row,
             wide / 3, 4);
      }
    }
  }

  void step(int number) {
    if (mode == Mode::noise) {
      xcb_copy_area(c, pictures[number % pictures.size()], window, gc, 0, 0, 0, 0, w(), h());
    } else if (mode == Mode::scrollingDesktop) {
      const auto offset = static_cast<std::int16_t>(number * 6 % (2 * height));
      xcb_copy_area(c, pictures[0], window, gc, 0, offset, 0, 0, w(), h());
    } else {
      const auto offset = static_cast<std::int16_t>(number * 6 % (3 * height - 256));
      xcb_copy_area(c, pictures[0], window, gc, static_cast<std::int16_t>(width / 2), offset,
                    static_cast<std::int16_t>(width / 2), static_cast<std::int16_t>(height / 2),
                    256, 256);
    }
    // Waiting for the server each step keeps requests from piling up behind a busy server.
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }

  Mode mode;
  xcb_connection_t* c;
  xcb_window_t window = xcb_generate_id(c);
  xcb_gcontext_t gc = xcb_generate_id(c);
  int width = 0;
  int height = 0;
  std::uint8_t depth = 0;
  std::vector<xcb_pixmap_t> pictures{};
};

ScreenAnimator::ScreenAnimator(const std::string& display, Mode mode) {
  auto scene = std::make_unique<Scene>(mode, display);
  if (mode == Mode::noise) {
    for (unsigned seed = 1; seed <= 4; ++seed) scene->paintNoise(seed);
  } else {
    scene->paintDesktop();
  }
  scene->step(0);
  thread_ = std::thread([this, owned = scene.release()] { run(owned); });
}

ScreenAnimator::~ScreenAnimator() {
  stopping_ = true;
  thread_.join();
}

void ScreenAnimator::run(Scene* scene) {
  const std::unique_ptr<Scene> owned(scene);
  const auto interval = std::chrono::microseconds(scene->mode == Mode::noise ? 33333 : 16667);
  auto next = std::chrono::steady_clock::now();
  for (int number = 1; !stopping_; ++number) {
    scene->step(number);
    next += interval;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace lumora::testing_support
