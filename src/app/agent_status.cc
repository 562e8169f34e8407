#include "app/agent_status.h"

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <map>

#include "platform/linux/atomic_file.h"
#include "platform/linux/user_account.h"

namespace lumora::app {

AgentStatus AgentStatus::serving(const runtime::AgentServingInfo& info) {
  AgentStatus status;
  status.running = true;
  status.host = info.controlAddress;
  status.controlPort = info.controlPort;
  status.mediaPort = info.mediaPort;
  status.pairingCode = info.pairingCode;
  status.pairingLink = info.pairingLink;
  return status;
}

namespace AgentStatusStore {

std::filesystem::path filePath() {
  return std::filesystem::path(platform::linux_os::homeDirectory()) / ".lumora" /
         "agent-status.json";
}

std::string encode(const AgentStatus& status) {
  // Values are written by Boost.JSON; the record is flat, so the layout is just lines.
  std::map<std::string, boost::json::value> fields;  // sorted by key bytes
  fields["running"] = status.running;
  if (status.host) fields["host"] = *status.host;
  if (status.controlPort) fields["controlPort"] = *status.controlPort;
  if (status.mediaPort) fields["mediaPort"] = *status.mediaPort;
  if (status.pairingCode) fields["pairingCode"] = *status.pairingCode;
  if (status.pairingLink) fields["pairingLink"] = *status.pairingLink;

  std::string text = "{\n";
  bool first = true;
  for (const auto& [key, value] : fields) {
    if (!first) text += ",\n";
    first = false;
    text += "  " + boost::json::serialize(boost::json::value(key)) + " : " +
            boost::json::serialize(value);
  }
  text += "\n}";
  std::string escaped;
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

void write(const AgentStatus& status) {
  try {
    const std::filesystem::path path = filePath();
    platform::linux_os::makePrivateDirectory(path.parent_path());
    platform::linux_os::writeFileAtomically(path.string(), protocol::asBytes(encode(status)), 0600);
    // An agent killed while writing left its temporary file; it is of no use to anyone.
    platform::linux_os::removeAbandonedTemporaries(path.string());
  } catch (const std::exception&) {
    // The previous file stays; publishing the status must never stop the agent.
  }
}

}  // namespace AgentStatusStore

}  // namespace lumora::app
