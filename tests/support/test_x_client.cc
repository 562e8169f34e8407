#include "support/test_x_client.h"

#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace lumora::testing_support {
namespace {

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

}  // namespace

TestXClient::TestXClient(const std::string& display) {
  connection_ = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(connection_) != 0) throw std::runtime_error("test client: no X");
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  root_ = screen->root;
  gc_ = xcb_generate_id(connection_);
  xcb_create_gc(connection_, gc_, root_, 0, nullptr);
  reader_ = std::thread([this] { read(); });
}

TestXClient::~TestXClient() {
  stop_ = true;
  reader_.join();
  xcb_disconnect(connection_);
}

xcb_window_t TestXClient::openWindow(int x, int y, int width, int height,
                                     std::uint32_t background) {
  const xcb_window_t window = xcb_generate_id(connection_);
  // Override-redirect: no window manager runs, and the window must sit exactly where asked.
  const std::uint32_t values[] = {background, 1,
                                  XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS};
  xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, root_, static_cast<int16_t>(x),
                    static_cast<int16_t>(y), static_cast<uint16_t>(width),
                    static_cast<uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    XCB_COPY_FROM_PARENT,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
  xcb_map_window(connection_, window);
  sync();
  xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
  sync();
  return window;
}

void TestXClient::fill(xcb_window_t window, std::uint32_t rgb, int x, int y, int width,
                       int height) {
  const std::uint32_t value[] = {rgb};
  xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, value);
  const xcb_rectangle_t rect{static_cast<int16_t>(x), static_cast<int16_t>(y),
                             static_cast<uint16_t>(width), static_cast<uint16_t>(height)};
  xcb_poly_fill_rectangle(connection_, window, gc_, 1, &rect);
  sync();
}

void TestXClient::sync() {
  Reply<xcb_get_input_focus_reply_t> reply(
      xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr),
      &std::free);
}

std::pair<int, int> TestXClient::pointer() {
  Reply<xcb_query_pointer_reply_t> reply(
      xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr),
      &std::free);
  if (!reply) return {-1, -1};
  return {reply->root_x, reply->root_y};
}

void TestXClient::read() {
  while (!stop_) {
    xcb_generic_event_t* event = xcb_poll_for_event(connection_);
    if (event == nullptr) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    const std::uint8_t type = event->response_type & 0x7F;
    if (type == XCB_KEY_PRESS) {
      auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
      Reply<xcb_get_keyboard_mapping_reply_t> map(
          xcb_get_keyboard_mapping_reply(
              connection_, xcb_get_keyboard_mapping(connection_, key->detail, 1), nullptr),
          &std::free);
      if (map) {
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
        const int per = map->keysyms_per_keycode;
        const bool shifted = (key->state & XCB_MOD_MASK_SHIFT) != 0 && per > 1 && syms[1] != 0;
        const xcb_keysym_t sym = shifted ? syms[1] : (per > 0 ? syms[0] : 0);
        const std::uint32_t c = xkb_keysym_to_utf32(sym);
        std::lock_guard lock(mutex_);
        keysyms_.push_back(sym);
        // Modifier keys produce no character; they are not text.
        if (c != 0) typed_.push_back(static_cast<char32_t>(c));
      }
    } else if (type == XCB_BUTTON_PRESS) {
      auto* press = reinterpret_cast<xcb_button_press_event_t*>(event);
      std::lock_guard lock(mutex_);
      buttons_.push_back({press->detail, press->root_x, press->root_y});
    }
    std::free(event);
  }
}

template <class Container>
Container TestXClient::waitFor(const Container& source, std::size_t count,
                               std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    {
      std::lock_guard lock(mutex_);
      if (source.size() >= count || std::chrono::steady_clock::now() >= deadline) return source;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::u32string TestXClient::typed(std::size_t count, std::chrono::milliseconds limit) {
  return waitFor(typed_, count, limit);
}

std::vector<std::uint32_t> TestXClient::keysyms(std::size_t count,
                                                std::chrono::milliseconds limit) {
  return waitFor(keysyms_, count, limit);
}

std::vector<TestXClient::ButtonPress> TestXClient::buttons(std::size_t count,
                                                           std::chrono::milliseconds limit) {
  return waitFor(buttons_, count, limit);
}

}  // namespace lumora::testing_support
