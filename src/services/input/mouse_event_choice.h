#pragma once

#include "platform/input_injector.h"

namespace lumora::services::input {

// Event kinds for one button: 1 is the right button, 2 the "other" kinds, and every other
// number (0 and the extra buttons alike) uses the left-button kinds.
struct ButtonEvents {
  platform::MouseEventType press;
  platform::MouseEventType release;
  platform::MouseEventType drag;
};

constexpr ButtonEvents eventsFor(platform::MouseButtonNumber button) {
  using enum platform::MouseEventType;
  switch (button) {
    case 1:
      return {rightMouseDown, rightMouseUp, rightMouseDragged};
    case 2:
      return {otherMouseDown, otherMouseUp, otherMouseDragged};
    default:
      return {leftMouseDown, leftMouseUp, leftMouseDragged};
  }
}

}  // namespace lumora::services::input
