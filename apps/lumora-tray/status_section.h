#pragma once

#include <QWidget>

#include "app/agent_controller.h"

class QVBoxLayout;

namespace lumora::tray {

// What the agent is doing: serving (its address, the pairing code, the QR code of the pairing
// link and a button copying the link), starting, or stopped with the reason it failed.
class StatusSection : public QWidget {
 public:
  explicit StatusSection(QWidget* parent = nullptr);

  void render(const app::AgentController::Status& status);

 private:
  void renderServing(const app::AgentController::Status& status);

  QVBoxLayout* layout_;
};

}  // namespace lumora::tray
