#include "agent_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

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

void writeAtomically(const std::filesystem::path& file, const std::string& text) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  if (ec)
    throw std::runtime_error("cannot create " + file.parent_path().string() + ": " + ec.message());
  std::string temporary = file.string() + ".XXXXXX";
  int fd = ::mkstemp(temporary.data());  // created 0600
  if (fd < 0) throw fileError(file, "cannot write");
  std::size_t written = 0;
  bool ok = true;
  while (ok && written < text.size()) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += static_cast<std::size_t>(n);
  }
  ok = ok && ::fchmod(fd, 0600) == 0 && ::fsync(fd) == 0;
  int error = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temporary.c_str(), file.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    errno = error;
    throw fileError(file, "cannot write");
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
  writeAtomically(file_, json::serialize(root) + "\n");
}

}  // namespace lumora::cli
