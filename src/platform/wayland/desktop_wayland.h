#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/desktop.h"

namespace lumora::platform::wayland {

class PortalSessionKeeper;
class DisplayDirectoryWayland;

// A Wayland desktop reached through the desktop portals: the screens the user shares
// (ScreenCast, frames over PipeWire), input through the same session (RemoteDesktop), and the
// clipboard through Xwayland's X11 selection where an X display answers.
//
// Building it opens the portal session in the background and returns at once: files and
// terminals serve while the desktop's consent dialog waits. A frame source started meanwhile
// waits for the user's answer (up to kConsentWait).
class DesktopWayland : public Desktop {
 public:
  struct Options {
    // Where the newest restore token is kept.
    std::filesystem::path restoreTokenFile;
    // Xwayland's display for the clipboard; empty means $DISPLAY (no clipboard when unset).
    std::string x11DisplayName;
    CommandKey commandKey = CommandKey::control;
  };

  static constexpr std::chrono::seconds kConsentWait{60};

  // Throws std::runtime_error when there is no session bus.
  explicit DesktopWayland(Options options);
  ~DesktopWayland() override;

  std::shared_ptr<DisplayDirectory> displays() override;
  std::shared_ptr<InputInjector> injector() override { return injector_; }
  std::shared_ptr<PasteboardAccess> pasteboard() override { return pasteboard_; }
  std::unique_ptr<FrameSource> makeFrameSource(const FrameSourceRequest& request) override;

 private:
  std::shared_ptr<PortalSessionKeeper> sessions_;
  std::shared_ptr<DisplayDirectoryWayland> displays_;
  std::shared_ptr<InputInjector> injector_;
  std::shared_ptr<PasteboardAccess> pasteboard_;
};

}  // namespace lumora::platform::wayland
