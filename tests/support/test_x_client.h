#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumora::testing_support {

// A small X client of the test's own: opens windows, draws, reads the pointer and records the
// keys and buttons that reach its windows. Key events are turned into keysyms the moment they
// arrive (as a real client does), on a reader thread, so temporary keymap changes are seen.
class TestXClient {
 public:
  struct ButtonPress {
    std::uint8_t button;
    int x;
    int y;
  };

  explicit TestXClient(const std::string& display);
  ~TestXClient();

  // A mapped, focused window at (x, y) of the given size that reports keys and buttons.
  xcb_window_t openWindow(int x, int y, int width, int height, std::uint32_t background = 0);
  void fill(xcb_window_t window, std::uint32_t rgb, int x, int y, int width, int height);
  // Waits until the server has handled everything sent so far.
  void sync();
  std::pair<int, int> pointer();

  // Blocks until `count` characters arrived or the time ran out; returns what arrived.
  std::u32string typed(std::size_t count, std::chrono::milliseconds limit);
  std::vector<std::uint32_t> keysyms(std::size_t count, std::chrono::milliseconds limit);
  std::vector<ButtonPress> buttons(std::size_t count, std::chrono::milliseconds limit);

  xcb_connection_t* connection() const { return connection_; }
  xcb_window_t root() const { return root_; }

 private:
  void read();
  template <class Container>
  Container waitFor(const Container& source, std::size_t count, std::chrono::milliseconds limit);

  xcb_connection_t* connection_;
  xcb_window_t root_;
  xcb_gcontext_t gc_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::u32string typed_;
  std::vector<std::uint32_t> keysyms_;
  std::vector<ButtonPress> buttons_;
  std::thread reader_;
};

}  // namespace lumora::testing_support
