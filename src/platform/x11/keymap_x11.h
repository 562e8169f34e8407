#pragma once

#include "platform/x11/x11_connection.h"

#include <cstdint>
#include <optional>
#include <set>
#include <vector>

namespace lumora::platform::x11 {

// The server's keycode → keysym table as last read, plus temporary bindings of keysyms the
// layout lacks onto spare keycodes (keycodes with no symbol at all). Not thread-safe: owned by
// one injector and used from its caller's thread.
class KeymapX11 {
 public:
  struct Stroke {
    xcb_keycode_t keycode = 0;
    bool shift = false;
    bool operator==(const Stroke&) const = default;
  };

  explicit KeymapX11(X11Connection& connection);

  // Reads the table again; someone may have switched layouts since the last call.
  void refresh();
  // A key that types `keysym` with no modifier or with Shift alone.
  std::optional<Stroke> typing(std::uint32_t keysym) const;
  // Any key carrying `keysym`, whatever the modifiers (for key presses, which name a key).
  std::optional<xcb_keycode_t> anyKey(std::uint32_t keysym) const;
  // Binds `keysym` to a spare keycode (both shift levels) until restore(); none when every
  // spare keycode is in use.
  std::optional<xcb_keycode_t> bindSpare(std::uint32_t keysym);
  // Empties a keycode bound by bindSpare again.
  void restore(xcb_keycode_t keycode);
  const std::set<xcb_keycode_t>& bound() const { return bound_; }

 private:
  std::uint32_t at(xcb_keycode_t keycode, int column) const;
  bool write(xcb_keycode_t keycode, std::uint32_t keysym);

  X11Connection& connection_;
  xcb_keycode_t minKeycode_;
  xcb_keycode_t maxKeycode_;
  int perKeycode_ = 0;
  std::vector<std::uint32_t> keysyms_;
  std::set<xcb_keycode_t> bound_;
};

}  // namespace lumora::platform::x11
