#include "platform/wayland/input_injector_wayland.h"

#include <linux/input-event-codes.h>

#include <cmath>

#include "platform/linux/mac_key_codes.h"
#include "platform/linux/text_keysyms.h"

namespace lumora::platform::wayland {
namespace {

constexpr const char* kNoRemoteInput =
    "this computer does not accept remote input: its desktop offers no remote control";

std::optional<std::int32_t> evdevButton(MouseButtonNumber button) {
  switch (button) {
    case 0:
      return BTN_LEFT;
    case 1:
      return BTN_RIGHT;
    case 2:
      return BTN_MIDDLE;
    default:
      if (button - 3 > BTN_TASK - BTN_SIDE) return std::nullopt;
      return static_cast<std::int32_t>(BTN_SIDE + (button - 3));
  }
}

bool contains(const DisplayRect& rect, ScreenPoint point) {
  return point.x >= rect.x && point.y >= rect.y && point.x < rect.x + rect.width &&
         point.y < rect.y + rect.height;
}

}  // namespace

InputInjectorWayland::InputInjectorWayland(std::shared_ptr<PortalSessionKeeper> sessions,
                                           std::shared_ptr<DisplayDirectoryWayland> displays,
                                           CommandKey commandKey)
    : sessions_(std::move(sessions)), displays_(std::move(displays)), commandKey_(commandKey) {}

void InputInjectorWayland::postMouseEvent(MouseEventType type, ScreenPoint at,
                                          MouseButtonNumber button) {
  if (!std::isfinite(at.x) || !std::isfinite(at.y)) return;
  auto session = sessions_->current();
  if (!session->hasPointer()) return;
  const auto streams = session->streams();
  if (streams.empty()) return;
  const PortalStream* target = &streams.front();
  for (const auto& stream : streams) {
    if (contains(streamRect(stream), at)) {
      target = &stream;
      break;
    }
  }
  const DisplayRect rect = streamRect(*target);
  // Inside the stream: a point off every screen lands on the main one's nearest edge.
  const double x = std::clamp(at.x - rect.x, 0.0, std::max(rect.width - 1, 0.0));
  const double y = std::clamp(at.y - rect.y, 0.0, std::max(rect.height - 1, 0.0));
  session->notifyPointerMotionAbsolute(target->nodeID, x, y);
  lastPosition_ = {rect.x + x, rect.y + y};

  using enum MouseEventType;
  switch (type) {
    case leftMouseDown:
    case rightMouseDown:
    case otherMouseDown:
      if (auto code = evdevButton(button)) session->notifyPointerButton(*code, true);
      break;
    case leftMouseUp:
    case rightMouseUp:
    case otherMouseUp:
      if (auto code = evdevButton(button)) session->notifyPointerButton(*code, false);
      break;
    case mouseMoved:
    case leftMouseDragged:
    case rightMouseDragged:
    case otherMouseDragged:
      break;  // the motion is the whole event; the compositor knows which button is down
  }
}

void InputInjectorWayland::postKeyEvent(std::uint16_t keyCode, bool down,
                                        std::u16string_view text) {
  auto session = sessions_->current();
  if (!session->hasKeyboard()) return;
  if (!text.empty()) {
    if (!down) return;  // text is typed on the key-down event
    for (char32_t c : linux_os::codePoints(text)) {
      const std::uint32_t keysym = linux_os::keysymForCharacter(c);
      if (keysym == 0) continue;
      session->notifyKeyboardKeysym(static_cast<std::int32_t>(keysym), true);
      session->notifyKeyboardKeysym(static_cast<std::int32_t>(keysym), false);
    }
    return;
  }
  if (auto keysym = linux_os::keysymForMacKeyCode(keyCode, commandKey_)) {
    session->notifyKeyboardKeysym(static_cast<std::int32_t>(*keysym), down);
  }
}

void InputInjectorWayland::postScrollEvent(std::int32_t wheel1, std::int32_t wheel2) {
  auto session = sessions_->current();
  if (!session->hasPointer()) return;
  // The portal counts clicks down and right as positive; the phone up and left.
  const std::int32_t up = wheel_.vertical(wheel1);
  const std::int32_t left = wheel_.horizontal(wheel2);
  session->notifyPointerAxisDiscrete(0, -up);
  session->notifyPointerAxisDiscrete(1, -left);
}

std::optional<DisplayRect> InputInjectorWayland::mainDisplayBounds() {
  try {
    const auto id = displays_->mainDisplayID();
    if (!id) return std::nullopt;
    return displays_->bounds(*id);
  } catch (const std::exception&) {
    return std::nullopt;  // not shared yet: the clamp is off rather than the move failing
  }
}

std::optional<std::string> InputInjectorWayland::whyNoRemoteInput() {
  auto session = sessions_->current();
  if (session->state() != PortalState::started || session->hasPointer() || session->hasKeyboard()) {
    return std::nullopt;
  }
  return std::string(kNoRemoteInput);
}

}  // namespace lumora::platform::wayland
