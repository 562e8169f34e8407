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
namespace {

// put_image requests are sent in bands of rows below the core request size limit.
constexpr std::size_t kMaxRequestBytes = 200 << 10;
constexpr int kNoisePictures = 4;
constexpr int kBox = 256;

void roundTrip(xcb_connection_t* c) {
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

void fill(xcb_connection_t* c, xcb_drawable_t target, xcb_gcontext_t gc, std::uint32_t rgb, int x,
          int y, int width, int height) {
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &rgb);
  const xcb_rectangle_t rect{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                             static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)};
  xcb_poly_fill_rectangle(c, target, gc, 1, &rect);
}

// A tall picture that looks like application windows: panels with title bars, rows of
// word-sized marks standing in for text, and colour gradients standing in for images.
void paintDesktop(xcb_connection_t* c, xcb_pixmap_t picture, xcb_gcontext_t gc, int width,
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
      for (int row = 0; row < panelHeight / 2; row += 4) {
        const auto shade = static_cast<std::uint32_t>(row * 255 / std::max(1, panelHeight / 2));
        fill(c, picture, gc, (shade << 16) | ((255 - shade) << 8) | 0x60, imageX, panelY + 40 + row,
             panelWidth / 3, 4);
      }
    }
  }
}

void paintNoise(xcb_connection_t* c, xcb_pixmap_t picture, xcb_gcontext_t gc, int width, int height,
                std::uint8_t depth, unsigned seed) {
  std::minstd_rand random(seed);
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  const int bandRows = static_cast<int>(std::max<std::size_t>(1, kMaxRequestBytes / rowBytes));
  std::vector<std::uint8_t> band(rowBytes * static_cast<std::size_t>(bandRows));
  for (int top = 0; top < height; top += bandRows) {
    const int rows = std::min(bandRows, height - top);
    for (auto& byte : band) byte = static_cast<std::uint8_t>(random());
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, picture, gc, static_cast<std::uint16_t>(width),
                  static_cast<std::uint16_t>(rows), 0, static_cast<std::int16_t>(top), 0, depth,
                  static_cast<std::uint32_t>(rowBytes * static_cast<std::size_t>(rows)),
                  band.data());
  }
}

}  // namespace

// The X side: a window over the whole screen and the pictures copied into it.
struct ScreenAnimator::Scene {
  Scene(Mode sceneMode, const std::string& display)
      : mode(sceneMode), c(xcb_connect(display.c_str(), nullptr)) {}
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;
  ~Scene() { xcb_disconnect(c); }

  Mode mode;
  xcb_connection_t* c;
  xcb_window_t window = 0;
  xcb_gcontext_t gc = 0;
  int width = 0;
  int height = 0;
  std::vector<xcb_pixmap_t> pictures{};

  xcb_pixmap_t newPicture(std::uint8_t depth, int pictureHeight) {
    pictures.push_back(xcb_generate_id(c));
    xcb_create_pixmap(c, depth, pictures.back(), window, static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(pictureHeight));
    return pictures.back();
  }

  void step(int number) {
    const auto w = static_cast<std::uint16_t>(width);
    const auto h = static_cast<std::uint16_t>(height);
    if (mode == Mode::noise) {
      xcb_copy_area(c, pictures[number % pictures.size()], window, gc, 0, 0, 0, 0, w, h);
    } else if (mode == Mode::scrollingDesktop) {
      const auto offset = static_cast<std::int16_t>(number * 6 % (2 * height));
      xcb_copy_area(c, pictures[0], window, gc, 0, offset, 0, 0, w, h);
    } else {
      const auto offset = static_cast<std::int16_t>(number * 6 % (3 * height - kBox));
      xcb_copy_area(c, pictures[0], window, gc, static_cast<std::int16_t>(width / 2), offset,
                    static_cast<std::int16_t>(width / 2), static_cast<std::int16_t>(height / 2),
                    kBox, kBox);
    }
    // Waiting for the server each step keeps requests from piling up behind a busy server.
    roundTrip(c);
  }
};

ScreenAnimator::ScreenAnimator(const std::string& display, Mode mode) {
  auto scene = std::make_unique<Scene>(mode, display);
  xcb_connection_t* c = scene->c;
  if (xcb_connection_has_error(c) != 0) {
    throw std::runtime_error("screen animator: cannot reach " + display);
  }
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  scene->width = screen->width_in_pixels;
  scene->height = screen->height_in_pixels;
  scene->window = xcb_generate_id(c);
  // Override-redirect: no window manager runs, and the window must cover the screen exactly.
  const std::uint32_t values[] = {0x202020, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, scene->window, screen->root, 0, 0,
                    static_cast<std::uint16_t>(scene->width),
                    static_cast<std::uint16_t>(scene->height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c, scene->window);
  scene->gc = xcb_generate_id(c);
  xcb_create_gc(c, scene->gc, scene->window, 0, nullptr);
  if (mode == Mode::noise) {
    for (unsigned seed = 1; seed <= kNoisePictures; ++seed) {
      paintNoise(c, scene->newPicture(screen->root_depth, scene->height), scene->gc, scene->width,
                 scene->height, screen->root_depth, seed);
    }
  } else {
    paintDesktop(c, scene->newPicture(screen->root_depth, 3 * scene->height), scene->gc,
                 scene->width, 3 * scene->height);
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
