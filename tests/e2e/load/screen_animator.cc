#include "screen_animator.h"

#include <chrono>
#include <cstdlib>
#include <random>
#include <stdexcept>

namespace lumora::load {

namespace {

constexpr int kPictures = 4;
constexpr auto kFrameInterval = std::chrono::milliseconds(33);
// put_image requests are sent in bands of rows below the core request size limit.
constexpr std::size_t kMaxRequestBytes = 200 << 10;

void roundTrip(xcb_connection_t* connection) {
  std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

}  // namespace

ScreenAnimator::ScreenAnimator(const std::string& display) {
  connection_ = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(connection_) != 0) {
    xcb_disconnect(connection_);
    throw std::runtime_error("screen animator: cannot reach " + display);
  }
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  width_ = screen->width_in_pixels;
  height_ = screen->height_in_pixels;
  depth_ = screen->root_depth;

  window_ = xcb_generate_id(connection_);
  // Override-redirect: no window manager runs, and the window must cover the screen exactly.
  const std::uint32_t values[] = {0, 1};
  xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0,
                    static_cast<std::uint16_t>(width_), static_cast<std::uint16_t>(height_), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(connection_, window_);
  gc_ = xcb_generate_id(connection_);
  xcb_create_gc(connection_, gc_, window_, 0, nullptr);
  for (int i = 0; i < kPictures; ++i) {
    const xcb_pixmap_t pixmap = xcb_generate_id(connection_);
    xcb_create_pixmap(connection_, depth_, pixmap, window_, static_cast<std::uint16_t>(width_),
                      static_cast<std::uint16_t>(height_));
    uploadNoise(pixmap, static_cast<unsigned>(i + 1));
    pictures_.push_back(pixmap);
  }
  roundTrip(connection_);
  thread_ = std::thread([this] { run(); });
}

ScreenAnimator::~ScreenAnimator() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  xcb_disconnect(connection_);
}

void ScreenAnimator::uploadNoise(xcb_pixmap_t pixmap, unsigned seed) {
  std::minstd_rand random(seed);
  const std::size_t rowBytes = static_cast<std::size_t>(width_) * 4;
  const int bandRows = static_cast<int>(std::max<std::size_t>(1, kMaxRequestBytes / rowBytes));
  std::vector<std::uint8_t> band(rowBytes * static_cast<std::size_t>(bandRows));
  for (int top = 0; top < height_; top += bandRows) {
    const int rows = std::min(bandRows, height_ - top);
    for (auto& byte : band) byte = static_cast<std::uint8_t>(random());
    xcb_put_image(
        connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc_, static_cast<std::uint16_t>(width_),
        static_cast<std::uint16_t>(rows), 0, static_cast<std::int16_t>(top), 0, depth_,
        static_cast<std::uint32_t>(rowBytes * static_cast<std::size_t>(rows)), band.data());
  }
}

void ScreenAnimator::run() {
  auto next = std::chrono::steady_clock::now();
  for (std::size_t frame = 0; !stopping_; ++frame) {
    xcb_copy_area(connection_, pictures_[frame % pictures_.size()], window_, gc_, 0, 0, 0, 0,
                  static_cast<std::uint16_t>(width_), static_cast<std::uint16_t>(height_));
    // Waiting for the server each frame keeps requests from piling up behind a busy server.
    roundTrip(connection_);
    next += kFrameInterval;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace lumora::load
