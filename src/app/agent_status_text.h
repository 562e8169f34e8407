#pragma once

#include <optional>
#include <string>

#include "app/agent_controller.h"

namespace lumora::app::AgentStatusText {

// The menu's header: "연결 대기 중", "오류", "중지됨" or "시작 중…".
std::string headline(const AgentController::Status& status);
// "MODE ADDRESS:PORT" while serving; nothing otherwise.
std::optional<std::string> addressLine(const AgentController::Status& status);

}  // namespace lumora::app::AgentStatusText
