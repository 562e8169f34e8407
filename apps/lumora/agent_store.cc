#include "agent_store.h"

#include <sys/stat.h>

#include <boost/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "platform/linux/atomic_file.h"

namespace lumora::cli {

namespace json = boost::json;

namespace {

std::runtime_error fileError(const std::filesystem::path& file, const std::string& what) {
  return std::runtime_error(what + " " + file.string() + ": " + std::strerror(errno));
}

json::object load(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return {};
    throw fileError(file, "cannot read");
  }
  std::string text((std::istreambuf_iterator<char>(in)), {});
  boost::system::error_code ec;
  json::value parsed = json::parse(text, ec);
  if (ec || !parsed.is_object()) {
    throw std::runtime_error("cannot parse " + file.string() + ": not a JSON object");
  }
  return std::move(parsed.as_object());
}

std::optional<protocol::PairingPayload> fromJSON(const json::value& value) {
  const json::object* entry = value.if_object();
  if (!entry) return std::nullopt;
  const json::value* host = entry->if_contains("host");
  const json::value* code = entry->if_contains("code");
  const json::value* control = entry->if_contains("controlPort");
  const json::value* media = entry->if_contains("mediaPort");
  if (!host || !host->is_string() || !code || !code->is_string() || !control ||
      !control->is_int64() || !media || !media->is_int64()) {
    return std::nullopt;
  }
  auto port = [](const json::value& v) -> std::optional<std::uint16_t> {
    std::int64_t n = v.as_int64();
    if (n < 0 || n > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(n);
  };
  auto controlPort = port(*control);
  auto mediaPort = port(*media);
  if (!controlPort || !mediaPort) return std::nullopt;
  return protocol::PairingPayload{std::string(host->as_string()), *controlPort, *mediaPort,
                                  std::string(code->as_string())};
}

// The pairing codes are this user's alone: missing directories on the way are made 0700 (as
// the XDG base directory rules ask), the file itself 0600, replaced whole.
void writePrivately(const std::filesystem::path& file, const std::string& text) {
  std::vector<std::filesystem::path> missing;
  std::error_code unknown;  // a directory that cannot be looked at fails the write, with its name
  for (auto directory = file.parent_path();
       !directory.empty() && !std::filesystem::exists(directory, unknown) && !unknown;
       directory = directory.parent_path()) {
    missing.push_back(directory);
  }
  for (auto directory = missing.rbegin(); directory != missing.rend(); ++directory) {
    if (::mkdir(directory->c_str(), 0700) != 0 && errno != EEXIST) {
      throw fileError(*directory, "cannot create");
    }
  }
  try {
    platform::linux_os::writeFileAtomically(file.string(), protocol::asBytes(text), 0600);
    // A lumora killed while saving left a temporary holding pairing codes; nobody needs it.
    platform::linux_os::removeAbandonedTemporaries(file.string());
  } catch (const std::system_error& e) {
    throw std::runtime_error("cannot write " + file.string() + ": " + e.code().message());
  }
}

}  // namespace

std::filesystem::path AgentStore::defaultPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config == '/') return std::filesystem::path(config) / "lumora" / "agents.json";
  const char* home = std::getenv("HOME");
  if (!home || !*home) throw std::runtime_error("cannot find the configuration: HOME is not set");
  return std::filesystem::path(home) / ".config" / "lumora" / "agents.json";
}

std::optional<protocol::PairingPayload> AgentStore::find(
    const std::optional<std::string>& name) const {
  json::object root = load(file_);
  std::string wanted;
  if (name) {
    wanted = *name;
  } else if (const json::value* current = root.if_contains("current");
             current && current->is_string()) {
    wanted = current->as_string();
  } else {
    return std::nullopt;
  }
  const json::value* agents = root.if_contains("agents");
  if (!agents || !agents->is_object()) return std::nullopt;
  const json::value* entry = agents->as_object().if_contains(wanted);
  if (!entry) return std::nullopt;
  auto agent = fromJSON(*entry);
  if (!agent)
    throw std::runtime_error("agent '" + wanted + "' in " + file_.string() + " is damaged");
  return agent;
}

std::vector<std::string> AgentStore::names() const {
  std::vector<std::string> result;
  json::object root = load(file_);
  if (const json::value* agents = root.if_contains("agents"); agents && agents->is_object()) {
    for (const auto& entry : agents->as_object()) result.emplace_back(entry.key());
  }
  return result;
}

std::optional<std::string> AgentStore::currentName() const {
  json::object root = load(file_);
  const json::value* current = root.if_contains("current");
  if (!current || !current->is_string()) return std::nullopt;
  return std::string(current->as_string());
}

void AgentStore::save(const std::string& name, const protocol::PairingPayload& agent) {
  json::object root = load(file_);
  json::value& agents = root["agents"];
  if (!agents.is_object()) agents = json::object();
  agents.as_object()[name] = json::object{{"host", agent.host},
                                          {"controlPort", agent.controlPort},
                                          {"mediaPort", agent.mediaPort},
                                          {"code", agent.code}};
  root["current"] = name;
  writePrivately(file_, json::serialize(root) + "\n");
}

}  // namespace lumora::cli
