#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/published.h"
#include "platform/login_item.h"
#include "platform/system_access.h"

namespace lumora::app {

// The settings section's state: start at login, and the two permissions.
//
// Threads: the application's main executor only; every platform call here is synchronous.
class AppSettingsController {
 public:
  struct State {
    bool loginAtStartup = false;
    bool screenRecording = false;
    bool accessibility = false;
    std::optional<std::string> loginError;  // the last failed login-item change
    bool allPermissionsGranted() const { return screenRecording && accessibility; }
    bool operator==(const State&) const = default;
  };

  // Reads the platform's states at once.
  AppSettingsController(std::shared_ptr<platform::LoginItem> loginItem,
                        std::shared_ptr<platform::SystemAccess> system);

  Published<State>& state() { return state_; }

  // Reads the three states; loginError is kept.
  void refresh();
  // Enables or disables the login item; loginError is the failure's what() (cleared on
  // success), and loginAtStartup what the item reports afterwards.
  void setLoginAtStartup(bool enabled);
  void openScreenRecordingSettings();
  void openAccessibilitySettings();
  // Both refresh afterwards.
  void requestAccessibility();
  void requestScreenRecording();

 private:
  std::shared_ptr<platform::LoginItem> loginItem_;
  std::shared_ptr<platform::SystemAccess> system_;
  Published<State> state_;
};

namespace PermissionText {
// "허용됨" / "권한 필요".
std::string label(bool granted);
// The icon's name from the freedesktop icon theme.
std::string symbol(bool granted);
}  // namespace PermissionText

}  // namespace lumora::app
