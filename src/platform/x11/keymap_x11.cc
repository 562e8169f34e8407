#include "platform/x11/keymap_x11.h"

#include "platform/x11/x11_error.h"

#include <cstdlib>

namespace lumora::platform::x11 {

KeymapX11::KeymapX11(X11Connection& connection)
    : connection_(connection),
      minKeycode_(xcb_get_setup(connection.get())->min_keycode),
      maxKeycode_(xcb_get_setup(connection.get())->max_keycode) {
  refresh();
}

void KeymapX11::refresh() {
  const int count = maxKeycode_ - minKeycode_ + 1;
  Reply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
      connection_.get(),
      xcb_get_keyboard_mapping(connection_.get(), minKeycode_, static_cast<std::uint8_t>(count)),
      nullptr));
  if (!reply) throw X11Error("cannot read the keyboard mapping");
  perKeycode_ = reply->keysyms_per_keycode;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
  keysyms_.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
}

std::uint32_t KeymapX11::at(xcb_keycode_t keycode, int column) const {
  const std::size_t index =
      static_cast<std::size_t>(keycode - minKeycode_) * static_cast<std::size_t>(perKeycode_) +
      static_cast<std::size_t>(column);
  return index < keysyms_.size() ? keysyms_[index] : 0;
}

std::optional<KeymapX11::Stroke> KeymapX11::typing(std::uint32_t keysym) const {
  // Unshifted matches first, so "a" never comes out of a key whose second level is "a".
  for (int column = 0; column < std::min(perKeycode_, 2); ++column) {
    for (int k = minKeycode_; k <= maxKeycode_; ++k) {
      const auto keycode = static_cast<xcb_keycode_t>(k);
      if (at(keycode, column) == keysym) return Stroke{keycode, column == 1};
    }
  }
  return std::nullopt;
}

std::optional<xcb_keycode_t> KeymapX11::anyKey(std::uint32_t keysym) const {
  for (int k = minKeycode_; k <= maxKeycode_; ++k) {
    for (int column = 0; column < perKeycode_; ++column) {
      if (at(static_cast<xcb_keycode_t>(k), column) == keysym) return static_cast<xcb_keycode_t>(k);
    }
  }
  return std::nullopt;
}

bool KeymapX11::write(xcb_keycode_t keycode, std::uint32_t keysym) {
  std::vector<xcb_keysym_t> row(static_cast<std::size_t>(perKeycode_), 0);
  if (perKeycode_ >= 1) row[0] = keysym;
  if (perKeycode_ >= 2) row[1] = keysym;
  // Waiting for the server to take each change is not optional: without the round trip, key
  // events sent right behind a binding have left the restored keycode still bound on Xvfb.
  xcb_generic_error_t* error = xcb_request_check(
      connection_.get(),
      xcb_change_keyboard_mapping_checked(connection_.get(), 1, keycode,
                                          static_cast<std::uint8_t>(perKeycode_), row.data()));
  if (error != nullptr) {
    std::free(error);
    return false;
  }
  const std::size_t base =
      static_cast<std::size_t>(keycode - minKeycode_) * static_cast<std::size_t>(perKeycode_);
  for (std::size_t i = 0; i < row.size() && base + i < keysyms_.size(); ++i) {
    keysyms_[base + i] = row[i];
  }
  return true;
}

std::optional<xcb_keycode_t> KeymapX11::bindSpare(std::uint32_t keysym) {
  if (perKeycode_ < 1) return std::nullopt;
  // From the top: low keycodes are the ones real keyboards send.
  for (int k = maxKeycode_; k >= minKeycode_; --k) {
    const auto keycode = static_cast<xcb_keycode_t>(k);
    if (bound_.contains(keycode)) continue;
    bool empty = true;
    for (int column = 0; column < perKeycode_ && empty; ++column) empty = at(keycode, column) == 0;
    if (!empty) continue;
    if (!write(keycode, keysym)) return std::nullopt;
    bound_.insert(keycode);
    return keycode;
  }
  return std::nullopt;
}

void KeymapX11::restore(xcb_keycode_t keycode) {
  if (bound_.erase(keycode) == 0) return;
  write(keycode, 0);
}

}  // namespace lumora::platform::x11
