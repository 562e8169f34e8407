#pragma once

#include <QWidget>

#include "app/app_settings_controller.h"

class QVBoxLayout;

namespace lumora::tray {

// Start at login, and whether this desktop lets the agent see the screen and drive the input.
class SettingsSection : public QWidget {
 public:
  explicit SettingsSection(app::AppSettingsController& settings, QWidget* parent = nullptr);

  void render(const app::AppSettingsController::State& state);

 private:
  void addPermissionRow(const QString& title, bool granted,
                        void (app::AppSettingsController::*request)());

  app::AppSettingsController& settings_;
  QVBoxLayout* layout_;
};

}  // namespace lumora::tray
