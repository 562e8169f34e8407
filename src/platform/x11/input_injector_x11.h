#pragma once

#include "platform/display_directory.h"
#include "platform/input_injector.h"
#include "platform/x11/keymap_x11.h"
#include "platform/linux/wheel_steps.h"
#include "platform/x11/x11_connection.h"

#include <map>
#include <memory>
#include <string>

namespace lumora::platform::x11 {

// Input through XTest on its own connection, in root-window pixels. Each post returns once the
// server has taken its events, so what the peer does after the reply sees them.
//
// Keys: the macOS key code names a key; it is pressed as the X key carrying the same keysym
// (bound to a spare keycode for as long as this object lives when the layout has none, e.g.
// F13–F20). Text: each character is typed with the key that produces it, Shift added where
// needed; characters the layout lacks (accents, emoji) are bound to spare keycodes for the
// duration of the text and the keycodes are emptied again afterwards. Text is typed on the
// key-down event; the matching key-up carries nothing more to do.
// Buttons: 0 → X button 1, 1 → 3, 2 → 2, n ≥ 3 → n + 5 (8 and 9 are back and forward).
// Scrolling: pixel deltas become clicks of buttons 4–7 (WheelSteps).
//
// Not thread-safe: one caller at a time, as the seam says.
class InputInjectorX11 : public InputInjector {
 public:
  // Throws X11Error when no server answers or it lacks XTest.
  InputInjectorX11(const std::string& displayName, std::shared_ptr<DisplayDirectory> displays,
                   CommandKey commandKey = CommandKey::control);
  ~InputInjectorX11() override;

  void postMouseEvent(MouseEventType type, ScreenPoint at, MouseButtonNumber button) override;
  void postKeyEvent(std::uint16_t keyCode, bool down, std::u16string_view text) override;
  void postScrollEvent(std::int32_t wheel1, std::int32_t wheel2) override;
  ScreenPoint cursorLocation() override;
  std::optional<DisplayRect> mainDisplayBounds() override;

 private:
  // Waits until the server has taken what was sent.
  void deliver();
  void fake(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0);
  void typeText(std::u16string_view text);
  void clickWheel(std::uint8_t button, std::int32_t times);

  X11Connection connection_;
  std::shared_ptr<DisplayDirectory> displays_;
  CommandKey commandKey_;
  KeymapX11 keymap_;
  linux_os::WheelSteps wheel_;
  // Spare keycodes that carry a key the layout lacks, by keysym; emptied on destruction.
  std::map<std::uint32_t, xcb_keycode_t> keyBindings_;
};

}  // namespace lumora::platform::x11
