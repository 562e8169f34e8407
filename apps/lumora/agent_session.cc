#include "agent_session.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

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

// The agent joins its room again the moment a session there ends: a command that follows
// another may find the room between the two, and the relay then refuses it at once.
constexpr auto kRejoinGrace = 3s;
constexpr auto kRejoinPoll = 100ms;

bool agentNotInRoom(const std::exception_ptr& error) {
  return reasonOf(error).find("the agent is not in its relay room") != std::string::npos;
}

// The other end could not prove the secret: the code is wrong, or it is not the agent.
bool secretNotProven(const std::exception_ptr& error) {
  return reasonOf(error).find("did not prove the pairing secret") != std::string::npos;
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
  const auto deadline = std::chrono::steady_clock::now() + kRejoinGrace;
  for (;;) {
    try {
      client.connectViaRelay(route.controlURL, route.token, code).get();
      break;
    } catch (...) {
      const auto error = std::current_exception();
      if (agentNotInRoom(error) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kRejoinPoll);
        continue;
      }
      if (secretNotProven(error)) throw Failure("pairing rejected: " + reasonOf(error));
      throw Failure("relay unreachable: " + reasonOf(error) + " (" + route.controlURL + ")");
    }
  }
  pair(client, code);
  return client;
}

}  // namespace lumora::cli
