#pragma once

#include <memory>

#include "platform/input_injector.h"
#include "platform/linux/wheel_steps.h"
#include "platform/wayland/display_directory_wayland.h"
#include "platform/wayland/portal_session_keeper.h"

namespace lumora::platform::wayland {

// Input through the portal's remote-desktop session. Nothing is posted before the user allowed
// it (or where the portal has no remote input): the events are dropped, as the seam allows.
//
// Pointer: the absolute position on the stream whose display contains the point (the main
// one when none does), in that stream's coordinates. Buttons: 0 left, 1 right, 2 middle,
// n ≥ 3 the side buttons from BTN_SIDE on (3 back, 4 forward), as on X11. Scrolling: pixel
// deltas become wheel clicks with the same steps as on X11. Keys: the keysym of the macOS key
// code; text is typed character by character as keysyms, so it needs no keymap of ours.
//
// Not thread-safe: one caller at a time, as the seam says.
class InputInjectorWayland : public InputInjector {
 public:
  InputInjectorWayland(std::shared_ptr<PortalSessionKeeper> sessions,
                       std::shared_ptr<DisplayDirectoryWayland> displays, CommandKey commandKey);

  void postMouseEvent(MouseEventType type, ScreenPoint at, MouseButtonNumber button) override;
  void postKeyEvent(std::uint16_t keyCode, bool down, std::u16string_view text) override;
  void postScrollEvent(std::int32_t wheel1, std::int32_t wheel2) override;
  // The last position posted: the portal cannot tell where the pointer is.
  ScreenPoint cursorLocation() override { return lastPosition_; }
  std::optional<DisplayRect> mainDisplayBounds() override;
  // A started session without pointer and keyboard: the portal has no RemoteDesktop.
  std::optional<std::string> whyNoRemoteInput() override;

 private:
  std::shared_ptr<PortalSessionKeeper> sessions_;
  std::shared_ptr<DisplayDirectoryWayland> displays_;
  CommandKey commandKey_;
  linux_os::WheelSteps wheel_;
  ScreenPoint lastPosition_;
};

}  // namespace lumora::platform::wayland
