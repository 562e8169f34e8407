#pragma once

#include <string>

#include "platform/system_access.h"

namespace lumora::platform::x11 {

// On X11 nothing grants or withholds either permission: any client of the display may read the
// screen and, where the server has XTEST, inject input. The checks therefore ask the server
// itself, and the actions have nothing to show. Each check opens a connection of its own and
// closes it; safe from any thread.
class SystemAccessX11 : public SystemAccess {
 public:
  // `displayName` empty means $DISPLAY at the time of each check.
  explicit SystemAccessX11(std::string displayName = {});

  // The display opens and a pixel of its root window can be read.
  bool hasScreenRecording() override;
  // The display opens and has the XTEST extension.
  bool hasAccessibility() override;
  void openScreenRecordingSettings() override {}
  void openAccessibilitySettings() override {}
  void requestAccessibility() override {}
  void requestScreenRecording() override {}

 private:
  std::string displayName_;
};

}  // namespace lumora::platform::x11
