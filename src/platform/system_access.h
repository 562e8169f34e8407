#pragma once

namespace lumora::platform {

// The two permissions the agent needs from the desktop: seeing the screen and injecting input.
// Checks are snapshots and never fail; the open and request actions show whatever the desktop
// offers for granting them (possibly nothing).
class SystemAccess {
 public:
  virtual ~SystemAccess() = default;
  virtual bool hasScreenRecording() = 0;
  virtual bool hasAccessibility() = 0;
  virtual void openScreenRecordingSettings() = 0;
  virtual void openAccessibilitySettings() = 0;
  virtual void requestAccessibility() = 0;
  virtual void requestScreenRecording() = 0;
};

}  // namespace lumora::platform
