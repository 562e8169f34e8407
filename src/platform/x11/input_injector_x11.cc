#include "platform/x11/input_injector_x11.h"

#include "platform/linux/mac_key_codes.h"
#include "platform/linux/text_keysyms.h"

#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

namespace lumora::platform::x11 {
namespace {

// Clients look a keycode up when its event arrives; leave a freshly bound spare keycode in place
// this long after the last key that uses it, or a slow client reads the restored empty entry.
constexpr auto kRebindSettle = std::chrono::milliseconds(60);

std::optional<std::uint8_t> xButton(MouseButtonNumber button) {
  switch (button) {
    case 0:
      return 1;
    case 1:
      return 3;
    case 2:
      return 2;
    default:
      if (button + 5 > 255) return std::nullopt;
      return static_cast<std::uint8_t>(button + 5);
  }
}

std::optional<std::int16_t> coordinate(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  return static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
}

}  // namespace

InputInjectorX11::InputInjectorX11(const std::string& displayName,
                                   std::shared_ptr<DisplayDirectory> displays,
                                   CommandKey commandKey)
    : connection_(displayName),
      displays_(std::move(displays)),
      commandKey_(commandKey),
      keymap_(connection_) {
  connection_.requireExtension(&xcb_test_id, "XTEST");
}

InputInjectorX11::~InputInjectorX11() {
  for (const auto& [keysym, keycode] : keyBindings_) keymap_.restore(keycode);
  xcb_flush(connection_.get());
}

void InputInjectorX11::fake(std::uint8_t type, std::uint8_t detail, std::int16_t x,
                            std::int16_t y) {
  xcb_test_fake_input(connection_.get(), type, detail, XCB_CURRENT_TIME,
                      type == XCB_MOTION_NOTIFY ? connection_.root() : XCB_NONE, x, y, 0);
}

void InputInjectorX11::deliver() {
  // A round trip: once the server has answered, it has taken every event sent before, so the
  // peer's acknowledgement (and whatever it asks next, another client's query among it) comes
  // after the input has happened.
  Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(
      connection_.get(), xcb_get_input_focus(connection_.get()), nullptr));
}

void InputInjectorX11::postMouseEvent(MouseEventType type, ScreenPoint at,
                                      MouseButtonNumber button) {
  const auto x = coordinate(at.x);
  const auto y = coordinate(at.y);
  if (!x || !y) return;
  fake(XCB_MOTION_NOTIFY, 0, *x, *y);
  using enum MouseEventType;
  switch (type) {
    case leftMouseDown:
    case rightMouseDown:
    case otherMouseDown:
      if (auto b = xButton(button)) fake(XCB_BUTTON_PRESS, *b);
      break;
    case leftMouseUp:
    case rightMouseUp:
    case otherMouseUp:
      if (auto b = xButton(button)) fake(XCB_BUTTON_RELEASE, *b);
      break;
    case mouseMoved:
    case leftMouseDragged:
    case rightMouseDragged:
    case otherMouseDragged:
      break;  // the motion above is the whole event; the server knows which button is down
  }
  deliver();
}

void InputInjectorX11::postKeyEvent(std::uint16_t keyCode, bool down, std::u16string_view text) {
  if (!text.empty()) {
    if (down) typeText(text);
    return;
  }
  const auto keysym = linux_os::keysymForMacKeyCode(keyCode, commandKey_);
  if (!keysym) return;
  keymap_.refresh();
  std::optional<xcb_keycode_t> keycode = keymap_.anyKey(*keysym);
  if (!keycode) {
    if (auto it = keyBindings_.find(*keysym); it != keyBindings_.end()) {
      keycode = it->second;
    } else if ((keycode = keymap_.bindSpare(*keysym))) {
      keyBindings_[*keysym] = *keycode;
    } else {
      return;
    }
  }
  fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, *keycode);
  deliver();
}

void InputInjectorX11::typeText(std::u16string_view text) {
  keymap_.refresh();
  const auto shift = keymap_.typing(XKB_KEY_Shift_L);
  std::map<std::uint32_t, xcb_keycode_t> temporary;

  auto releaseTemporary = [&] {
    if (temporary.empty()) return;
    // Let every client read the bound keycodes before they go empty again.
    Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(
        connection_.get(), xcb_get_input_focus(connection_.get()), nullptr));
    std::this_thread::sleep_for(kRebindSettle);
    for (const auto& [keysym, keycode] : temporary) keymap_.restore(keycode);
    temporary.clear();
  };

  for (char32_t c : linux_os::codePoints(text)) {
    const std::uint32_t keysym = linux_os::keysymForCharacter(c);
    if (keysym == 0) continue;
    KeymapX11::Stroke stroke;
    if (auto found = keymap_.typing(keysym); found && (!found->shift || shift)) {
      stroke = *found;
    } else if (auto it = temporary.find(keysym); it != temporary.end()) {
      stroke = {it->second, false};
    } else {
      auto spare = keymap_.bindSpare(keysym);
      if (!spare) {
        releaseTemporary();
        spare = keymap_.bindSpare(keysym);
        if (!spare) continue;
      }
      temporary[keysym] = *spare;
      stroke = {*spare, false};
    }
    if (stroke.shift) fake(XCB_KEY_PRESS, shift->keycode);
    fake(XCB_KEY_PRESS, stroke.keycode);
    fake(XCB_KEY_RELEASE, stroke.keycode);
    if (stroke.shift) fake(XCB_KEY_RELEASE, shift->keycode);
  }
  xcb_flush(connection_.get());
  releaseTemporary();
  deliver();
}

void InputInjectorX11::clickWheel(std::uint8_t button, std::int32_t times) {
  for (std::int32_t i = 0; i < times; ++i) {
    fake(XCB_BUTTON_PRESS, button);
    fake(XCB_BUTTON_RELEASE, button);
  }
}

void InputInjectorX11::postScrollEvent(std::int32_t wheel1, std::int32_t wheel2) {
  const std::int32_t up = wheel_.vertical(wheel1);
  const std::int32_t left = wheel_.horizontal(wheel2);
  clickWheel(up > 0 ? 4 : 5, std::abs(up));
  clickWheel(left > 0 ? 6 : 7, std::abs(left));
  deliver();
}

ScreenPoint InputInjectorX11::cursorLocation() {
  Reply<xcb_query_pointer_reply_t> reply(xcb_query_pointer_reply(
      connection_.get(), xcb_query_pointer(connection_.get(), connection_.root()), nullptr));
  if (!reply) return {0, 0};
  return {static_cast<double>(reply->root_x), static_cast<double>(reply->root_y)};
}

std::optional<DisplayRect> InputInjectorX11::mainDisplayBounds() {
  try {
    const auto id = displays_->mainDisplayID();
    if (!id) return std::nullopt;
    return displays_->bounds(*id);
  } catch (const std::exception&) {
    return std::nullopt;  // a lost server turns the clamp off rather than failing the move
  }
}

}  // namespace lumora::platform::x11
