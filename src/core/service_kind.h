#pragma once

#include <array>
#include <set>
#include <string_view>

namespace lumora::core {

// The kinds of service an agent offers. The clipboard service exists but is not a kind.
enum class ServiceKind { screen, input, file, terminal };

inline constexpr std::array<ServiceKind, 4> kAllServiceKinds = {
    ServiceKind::screen, ServiceKind::input, ServiceKind::file, ServiceKind::terminal};

constexpr std::string_view rawValue(ServiceKind kind) {
  switch (kind) {
    case ServiceKind::screen:
      return "screen";
    case ServiceKind::input:
      return "input";
    case ServiceKind::file:
      return "file";
    case ServiceKind::terminal:
      return "terminal";
  }
  return {};
}

// Every kind: what the agent offers by default.
inline const std::set<ServiceKind>& mvpDefaultServiceKinds() {
  static const std::set<ServiceKind> kinds(kAllServiceKinds.begin(), kAllServiceKinds.end());
  return kinds;
}

}  // namespace lumora::core
