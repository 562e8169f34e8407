#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/system_access.h"
#include "platform/wayland/restore_token_file.h"

namespace lumora::platform::wayland {

class PortalSession;

// On Wayland the desktop asks the user itself, in its portal dialog, when sharing starts; there
// are no settings to open. Screen recording counts as granted once the user allowed it and the
// desktop remembers that (a restore token is kept). Asking for it opens a session now, so the
// dialog shows at the user's request, keeps the token and ends the session again. Input is
// asked for together with the screen, so it counts as granted where the portal offers it.
//
// For the main thread: nothing here waits for the user.
class SystemAccessWayland : public SystemAccess {
 public:
  explicit SystemAccessWayland(std::filesystem::path restoreTokenFile);
  ~SystemAccessWayland() override;

  bool hasScreenRecording() override;
  bool hasAccessibility() override;
  void openScreenRecordingSettings() override {}
  void openAccessibilitySettings() override {}
  void requestAccessibility() override { requestScreenRecording(); }
  void requestScreenRecording() override;

 private:
  RestoreTokenFile tokens_;
  std::mutex mutex_;  // guards request_
  std::shared_ptr<PortalSession> request_;
  std::jthread closer_;
};

}  // namespace lumora::platform::wayland
