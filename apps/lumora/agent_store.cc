#include "agent_store.h"

#include <sys/stat.h>

#include <boost/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "private_file.h"

namespace lumora::cli {

namespace json = boost::json;

namespace {

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

}  // namespace

std::filesystem::path AgentStore::defaultPath() { return configDirectory() / "agents.json"; }

std::optional<protocol::PairingPayload> AgentStore::find(
    const std::optional<std::string>& name) const {
  json::object root = readJSONObject(file_);
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
  json::object root = readJSONObject(file_);
  if (const json::value* agents = root.if_contains("agents"); agents && agents->is_object()) {
    for (const auto& entry : agents->as_object()) result.emplace_back(entry.key());
  }
  return result;
}

std::optional<std::string> AgentStore::currentName() const {
  json::object root = readJSONObject(file_);
  const json::value* current = root.if_contains("current");
  if (!current || !current->is_string()) return std::nullopt;
  return std::string(current->as_string());
}

void AgentStore::save(const std::string& name, const protocol::PairingPayload& agent) {
  json::object root = readJSONObject(file_);
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
