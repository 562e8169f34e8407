#pragma once

#include <cstdint>
#include <set>

#include "core/service_kind.h"

namespace lumora::core {

// How an agent is started. The media port is always controlPort + 1.
struct AgentConfig {
  std::uint16_t controlPort;
  // Carried with the configuration; every service is assembled regardless.
  std::set<ServiceKind> enabledServices;

  static constexpr std::uint16_t kDefaultControlPort = 47800;

  bool operator==(const AgentConfig&) const = default;
};

}  // namespace lumora::core
