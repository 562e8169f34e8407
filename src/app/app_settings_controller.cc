#include "app/app_settings_controller.h"

#include <exception>
#include <utility>

namespace lumora::app {

AppSettingsController::AppSettingsController(std::shared_ptr<platform::LoginItem> loginItem,
                                             std::shared_ptr<platform::SystemAccess> system)
    : loginItem_(std::move(loginItem)), system_(std::move(system)) {
  refresh();
}

void AppSettingsController::refresh() {
  auto next = state_.get();
  next.loginAtStartup = loginItem_->isEnabled();
  next.screenRecording = system_->hasScreenRecording();
  next.accessibility = system_->hasAccessibility();
  state_.set(std::move(next));
}

void AppSettingsController::setLoginAtStartup(bool enabled) {
  auto next = state_.get();
  try {
    if (enabled) {
      loginItem_->enable();
    } else {
      loginItem_->disable();
    }
    next.loginError.reset();
  } catch (const std::exception& error) {
    next.loginError = error.what();
  }
  // What the item reports, not what was asked: the toggle snaps back when the change failed or
  // waits for the user's approval.
  next.loginAtStartup = loginItem_->isEnabled();
  state_.set(std::move(next));
}

void AppSettingsController::openScreenRecordingSettings() {
  system_->openScreenRecordingSettings();
}

void AppSettingsController::openAccessibilitySettings() { system_->openAccessibilitySettings(); }

void AppSettingsController::requestAccessibility() {
  system_->requestAccessibility();
  refresh();
}

void AppSettingsController::requestScreenRecording() {
  system_->requestScreenRecording();
  refresh();
}

namespace PermissionText {

std::string label(bool granted) { return granted ? "허용됨" : "권한 필요"; }

std::string symbol(bool granted) {
  return granted ? "object-select-symbolic" : "dialog-warning-symbolic";
}

}  // namespace PermissionText

}  // namespace lumora::app
