// pair, ping, displays: the agent itself.

#include <chrono>
#include <cstdio>
#include <iostream>

#include "agent_resolution.h"
#include "agent_session.h"
#include "agent_store.h"
#include "command.h"
#include "failure.h"

namespace lumora::cli {

namespace {

int pair(CommandContext& context) {
  protocol::PairingPayload agent = parseLink(context.word(0));
  if (!context.args().has("no-check")) {
    // Through the relay when asked: the agent need not be reachable from here.
    auto check = context.args().has("relay") ? openRelaySession(relayRouteTo(agent), agent.code)
                                             : openSession(agent);
    check.disconnect();
  }
  const std::string name = context.args().value("name").value_or(agent.host);
  if (name.empty()) throw UsageError("the name must not be empty");
  AgentStore store(AgentStore::defaultPath());
  store.save(name, agent);
  std::cout << "paired with " << agent.host << ":" << agent.controlPort << " as '" << name << "' ("
            << store.path().string() << ")\n";
  return 0;
}

int ping(CommandContext& context) {
  auto client = context.connect();
  auto start = std::chrono::steady_clock::now();
  await(client.ping(), "ping failed");
  double millis =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("pong from %s in %.2f ms\n", context.agent().host.c_str(), millis);
  return 0;
}

int displays(CommandContext& context) {
  auto client = context.connect();
  auto list = await(client.listDisplays(), "cannot list displays");
  for (const auto& display : list) {
    std::printf("%u\t%lldx%lld\t%s%s\n", display.id, static_cast<long long>(display.width),
                static_cast<long long>(display.height), display.name.c_str(),
                display.isMain ? "\t(main)" : "");
  }
  return 0;
}

}  // namespace

std::vector<Command> agentCommands() {
  return {
      {"pair",
       "LINK",
       "pair with an agent and store it as the current one",
       "LINK is the agent's lumora://pair?… link. The code is checked by pairing once before the\n"
       "agent is stored in ~/.config/lumora/agents.json (mode 0600, in a directory of mode\n"
       "0700).",
       {{"name", "NAME", "store the agent under NAME (default: its host)"},
        {"no-check", "", "store without connecting"}},
       1,
       1,
       false,
       pair},
      {"ping", "", "check that the agent answers, and how fast", "", {}, 0, 0, false, ping},
      {"displays",
       "",
       "list the agent's displays",
       "One line each: id, size, name.",
       {},
       0,
       0,
       false,
       displays},
  };
}

}  // namespace lumora::cli
