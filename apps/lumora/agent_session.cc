#include "agent_session.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>

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

namespace {

using namespace std::chrono_literals;

// How long the agent may take to (re)join its room: it waits a little between attempts.
constexpr auto kAgentJoinLimit = 20s;

// What reaches the room while the agent is not in it is lost, and the agent joins again after
// each peer leaves: ask until it answers (an error before pairing is an answer too).
void waitForAgentInRoom(sdk::AgentControlClient& client, const std::string& room) {
  const auto deadline = std::chrono::steady_clock::now() + kAgentJoinLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (client.ping().wait_for(500ms) == std::future_status::ready) return;
  }
  throw Failure("relay unreachable: the agent is not in its relay room (" + room + ")");
}

void pair(sdk::AgentControlClient& client, const std::string& code) {
  try {
    client.authenticate(code, deviceIdentifier()).get();
  } catch (...) {
    throw Failure("pairing rejected: " + reasonOf(std::current_exception()));
  }
}

}  // namespace

sdk::AgentControlClient openSession(const protocol::PairingPayload& agent) {
  sdk::AgentControlClient client;
  try {
    client.connect(agent.host, agent.controlPort).get();
  } catch (...) {
    throw Failure("agent unreachable: " + reasonOf(std::current_exception()) + " (" + agent.host +
                  ":" + std::to_string(agent.controlPort) + ")");
  }
  pair(client, agent.code);
  return client;
}

sdk::AgentControlClient openRelaySession(const RelayRoute& route, const std::string& code) {
  sdk::AgentControlClient client;
  try {
    client.connectViaRelay(route.controlURL, route.token).get();
  } catch (...) {
    throw Failure("relay unreachable: " + reasonOf(std::current_exception()) + " (" +
                  route.controlURL + ")");
  }
  waitForAgentInRoom(client, route.controlURL);
  pair(client, code);
  return client;
}

}  // namespace lumora::cli
