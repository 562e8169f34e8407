#pragma once

#include <QWidget>

#include <boost/asio/any_io_executor.hpp>

#include <functional>

#include "app/account_controller.h"
#include "app/agent_controller.h"
#include "app/app_settings_controller.h"

class QLabel;
class QPushButton;

namespace lumora::tray {

class AccountSection;
class SettingsSection;
class StatusSection;

// The panel: a header with the agent's state, then the account, the agent's status with the
// pairing code, the settings, and the buttons that start, stop and quit. It owns no state: it
// shows what the three controllers publish and calls their operations.
//
// Threads: the GUI thread, which `main` (the controllers' main executor) runs on.
class MenuBarContentView : public QWidget {
 public:
  struct Actions {
    std::function<void()> signInWithGitHub;
    std::function<void()> signInWithGoogle;
    // Ends the application at once (the status file is left as it is).
    std::function<void()> quit;
  };

  MenuBarContentView(app::AgentController& controller, app::AppSettingsController& settings,
                     app::AccountController& account, Actions actions,
                     boost::asio::any_io_executor main, QWidget* parent = nullptr);

 protected:
  // Reads the settings again every time the panel opens: a permission may have changed.
  void showEvent(QShowEvent* event) override;

 private:
  void renderAgent(const app::AgentController::Status& status);

  app::AgentController& controller_;
  app::AppSettingsController& settings_;
  QLabel* headline_;
  StatusSection* status_;
  QPushButton* toggle_;
  app::Subscription agentSubscription_, accountSubscription_, settingsSubscription_;
};

}  // namespace lumora::tray
