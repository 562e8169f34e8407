#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "runtime/agent_runtime.h"

namespace lumora::app {

// What the agent publishes for other local tools in ~/.lumora/agent-status.json.
struct AgentStatus {
  bool running = false;
  std::optional<std::string> host;
  std::optional<std::uint16_t> controlPort;
  std::optional<std::uint16_t> mediaPort;
  std::optional<std::string> pairingCode;
  std::optional<std::string> pairingLink;

  static AgentStatus stopped() { return {}; }
  static AgentStatus serving(const runtime::AgentServingInfo& info);
  bool operator==(const AgentStatus&) const = default;
};

namespace AgentStatusStore {

std::filesystem::path filePath();

// Pretty-printed JSON: two-space indent, " : " between key and value, keys in byte order,
// absent fields left out, slashes escaped; no trailing newline.
std::string encode(const AgentStatus& status);

// Atomically replaces the file (mode 0600), creating ~/.lumora first, and clears away the
// temporaries of writers killed mid-write. Never throws: a failure leaves the previous file in
// place.
void write(const AgentStatus& status);

}  // namespace AgentStatusStore

}  // namespace lumora::app
