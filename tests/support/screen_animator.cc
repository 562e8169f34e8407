#include "support/screen_animator.h"

#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>

namespace lumora::testing_support {

xcb_pixmap_t ScreenAnimator::Scene::newPicture(int pictureHeight) {
  pictures.push_back(xcb_generate_id(c));
  xcb_create_pixmap(c, depth, pictures.back(), window, static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(pictureHeight));
  return pictures.back();
}

void ScreenAnimator::Scene::copy(xcb_pixmap_t from, int fromX, int fromY, int x, int y, int wide,
                                 int high) {
  xcb_copy_area(c, from, window, gc, static_cast<std::int16_t>(fromX),
                static_cast<std::int16_t>(fromY), static_cast<std::int16_t>(x),
                static_cast<std::int16_t>(y), static_cast<std::uint16_t>(wide),
                static_cast<std::uint16_t>(high));
}

ScreenAnimator::Content ScreenAnimator::noise() {
  // Four pictures of noise, in bands of rows below the core request size limit.
  const auto paint = [](Scene& scene) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
      const xcb_pixmap_t picture = scene.newPicture(scene.height);
      std::minstd_rand random(seed);
      const int bandRows = std::max(1, (200 << 10) / (scene.width * 4));
      std::vector<std::uint8_t> band(static_cast<std::size_t>(scene.width * 4 * bandRows));
      for (int top = 0; top < scene.height; top += bandRows) {
        const int rows = std::min(bandRows, scene.height - top);
        for (auto& byte : band) byte = static_cast<std::uint8_t>(random());
        xcb_put_image(scene.c, XCB_IMAGE_FORMAT_Z_PIXMAP, picture, scene.gc,
                      static_cast<std::uint16_t>(scene.width), static_cast<std::uint16_t>(rows), 0,
                      static_cast<std::int16_t>(top), 0, scene.depth,
                      static_cast<std::uint32_t>(scene.width * 4 * rows), band.data());
      }
    }
  };
  const auto step = [](Scene& scene, int number) {
    scene.copy(scene.pictures[number % scene.pictures.size()], 0, 0, 0, 0, scene.width,
               scene.height);
  };
  return {paint, step, std::chrono::microseconds(33333)};
}

ScreenAnimator::ScreenAnimator(const std::string& display, Content content) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c) != 0) {
    xcb_disconnect(c);
    throw std::runtime_error("screen animator: cannot reach " + display);
  }
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  auto scene = std::make_shared<Scene>(Scene{c,
                                             xcb_generate_id(c),
                                             xcb_generate_id(c),
                                             screen->width_in_pixels,
                                             screen->height_in_pixels,
                                             screen->root_depth,
                                             {}});
  // Override-redirect: no window manager runs, and the window must cover the screen exactly.
  const std::uint32_t values[] = {0x202020, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, scene->window, screen->root, 0, 0,
                    screen->width_in_pixels, screen->height_in_pixels, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c, scene->window);
  xcb_create_gc(c, scene->gc, scene->window, 0, nullptr);
  content.paint(*scene);
  // Waiting for the server each step keeps requests from piling up behind a busy server.
  const auto step = [scene, content = std::move(content)](int number) {
    content.step(*scene, number);
    std::free(xcb_get_input_focus_reply(scene->c, xcb_get_input_focus(scene->c), nullptr));
    return content.interval;
  };
  const auto interval = step(0);  // the screen shows the content once this returns
  thread_ = std::thread([this, scene, step, interval] {
    auto next = std::chrono::steady_clock::now();
    for (int number = 1; !stopping_; ++number) {
      step(number);
      std::this_thread::sleep_until(next += interval);
    }
    xcb_disconnect(scene->c);
  });
}

ScreenAnimator::~ScreenAnimator() {
  stopping_ = true;
  thread_.join();
}

}  // namespace lumora::testing_support
