#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "protocol/pairing_payload.h"

namespace lumora::cli {

// The agents this user has paired with, in a JSON file readable only by them:
//   {"current": "<name>", "agents": {"<name>": {"host", "controlPort", "mediaPort", "code"}}}
// Every save rewrites the whole file atomically (a 0600 temporary beside it, then renamed), so
// a reader never sees half a file and the pairing code is never readable by others; the
// directories it makes on the way are 0700.
class AgentStore {
 public:
  explicit AgentStore(std::filesystem::path file) : file_(std::move(file)) {}

  // $XDG_CONFIG_HOME/lumora/agents.json, else ~/.config/lumora/agents.json.
  static std::filesystem::path defaultPath();

  const std::filesystem::path& path() const { return file_; }

  // The agent of that name, or the current one when no name is given; nothing when absent.
  // Throws std::runtime_error when the file exists but cannot be read or parsed.
  std::optional<protocol::PairingPayload> find(const std::optional<std::string>& name) const;
  std::vector<std::string> names() const;
  std::optional<std::string> currentName() const;

  // Adds or replaces the agent under `name` and makes it current. Throws std::runtime_error
  // naming the file when it cannot be written.
  void save(const std::string& name, const protocol::PairingPayload& agent);

 private:
  std::filesystem::path file_;
};

}  // namespace lumora::cli
