#pragma once

#include <memory>
#include <string>

#include "platform/desktop.h"

namespace lumora::platform::x11 {

// The desktop of one X display: RandR monitors, XTest input, the CLIPBOARD selection and
// shared-memory capture, each part on an X connection of its own.
class DesktopX11 : public Desktop {
 public:
  // `displayName` empty means $DISPLAY. Throws the X11 error when the display cannot be opened.
  DesktopX11(std::string displayName, CommandKey commandKey);

  std::shared_ptr<DisplayDirectory> displays() override { return displays_; }
  std::shared_ptr<InputInjector> injector() override { return injector_; }
  std::shared_ptr<PasteboardAccess> pasteboard() override { return pasteboard_; }
  std::unique_ptr<FrameSource> makeFrameSource(const FrameSourceRequest& request) override;

 private:
  const std::string displayName_;
  std::shared_ptr<DisplayDirectory> displays_;
  std::shared_ptr<InputInjector> injector_;
  std::shared_ptr<PasteboardAccess> pasteboard_;
};

}  // namespace lumora::platform::x11
