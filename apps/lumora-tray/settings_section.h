#pragma once

#include <QWidget>

#include <functional>

#include "app/app_settings_controller.h"

class QVBoxLayout;

namespace lumora::tray {

// Start at login, and whether this desktop lets the agent see the screen and drive the input.
class SettingsSection : public QWidget {
 public:
  explicit SettingsSection(app::AppSettingsController& settings, QWidget* parent = nullptr);

  void render(const app::AppSettingsController::State& state);

 private:
  // `request` asks the desktop for the permission.
  void addPermissionRow(const QString& title, bool granted, std::function<void()> request);

  app::AppSettingsController& settings_;
  QVBoxLayout* layout_;
};

}  // namespace lumora::tray
