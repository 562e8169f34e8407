#include "agent_session.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "failure.h"

namespace lumora::cli {

std::string deviceIdentifier() {
  if (const char* configured = std::getenv("LUMORA_DEVICE_ID"); configured && *configured) {
    return configured;
  }
  std::string user;
  if (const passwd* entry = ::getpwuid(::getuid())) user = entry->pw_name;
  if (user.empty()) user = std::to_string(::getuid());
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return "lumora-cli " + user + "@" + (host[0] ? host : "localhost");
}

sdk::AgentControlClient openSession(const protocol::PairingPayload& agent) {
  sdk::AgentControlClient client;
  try {
    client.connect(agent.host, agent.controlPort).get();
  } catch (...) {
    throw Failure("agent unreachable: " + reasonOf(std::current_exception()) + " (" + agent.host +
                  ":" + std::to_string(agent.controlPort) + ")");
  }
  try {
    client.authenticate(agent.code, deviceIdentifier()).get();
  } catch (...) {
    throw Failure("pairing rejected: " + reasonOf(std::current_exception()));
  }
  return client;
}

}  // namespace lumora::cli
