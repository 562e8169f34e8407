#include "app/agent_status_text.h"

namespace lumora::app::AgentStatusText {

std::string headline(const AgentController::Status& status) {
  using Case = AgentController::Status::Case;
  switch (status.which) {
    case Case::serving:
      return "연결 대기 중";
    case Case::failed:
      return "오류";
    case Case::starting:
      return "시작 중\u2026";
    case Case::stopped:
      break;
  }
  return "중지됨";
}

std::optional<std::string> addressLine(const AgentController::Status& status) {
  if (status.which != AgentController::Status::Case::serving || !status.info) return std::nullopt;
  const auto& info = *status.info;
  return info.mode + " " + info.controlAddress + ":" + std::to_string(info.controlPort);
}

}  // namespace lumora::app::AgentStatusText
