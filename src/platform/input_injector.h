#pragma once

#include "platform/display_directory.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumora::platform {

// A position in the global display space (pixels, y downward).
struct ScreenPoint {
  double x = 0;
  double y = 0;
  bool operator==(const ScreenPoint&) const = default;
};

// Pointer event kinds; the numbers are the wire-compatible event type codes the phone's
// platform uses, so logs read the same on every agent.
enum class MouseEventType : std::uint8_t {
  leftMouseDown = 1,
  leftMouseUp = 2,
  rightMouseDown = 3,
  rightMouseUp = 4,
  mouseMoved = 5,
  leftMouseDragged = 6,
  rightMouseDragged = 7,
  otherMouseDown = 25,
  otherMouseUp = 26,
  otherMouseDragged = 27,
};

// The key a phone's Command key (0x37, 0x36 on the right) presses here. Phones send Command for
// copy, paste, undo and the like, which on Linux desktops are Control shortcuts; `super` keeps
// the key itself, for desktops where Super shortcuts are wanted.
enum class CommandKey { control, super };

// Mouse button numbers: 0 left, 1 right, 2 centre, higher numbers extra buttons.
using MouseButtonNumber = std::uint32_t;

// Synthesises input on the desktop. Posting never fails loudly: an event the system cannot
// create is dropped. Not thread-safe: one caller at a time (InputService calls it from its
// strand only).
class InputInjector {
 public:
  virtual ~InputInjector() = default;

  // A pointer event of `type` at `at`; presses and releases also move the pointer there.
  virtual void postMouseEvent(MouseEventType type, ScreenPoint at, MouseButtonNumber button) = 0;
  // A key event for a macOS virtual key code. With non-empty `text` (UTF-16 code units) the
  // event carries that text instead of the key's own character.
  virtual void postKeyEvent(std::uint16_t keyCode, bool down, std::u16string_view text) = 0;
  // A two-axis scroll in pixels: wheel1 vertical (positive scrolls up), wheel2 horizontal
  // (positive scrolls left).
  virtual void postScrollEvent(std::int32_t wheel1, std::int32_t wheel2) = 0;
  // Where the pointer is; (0, 0) when it cannot be read.
  virtual ScreenPoint cursorLocation() = 0;
  // None when there is no main display or it cannot be read.
  virtual std::optional<DisplayRect> mainDisplayBounds() = 0;
  // Why no event posted now can reach the desktop, when the desktop has no way to take remote
  // input at all (not when it merely waits for the user's consent): a phone is told this
  // instead of its input vanishing. Nothing while input can be posted.
  virtual std::optional<std::string> whyNoRemoteInput() { return std::nullopt; }
};

}  // namespace lumora::platform
