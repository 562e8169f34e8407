#include "cli.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "agent_resolution.h"
#include "agent_session.h"
#include "command.h"
#include "failure.h"

namespace lumora::cli {

namespace {

const std::vector<OptionSpec> kCommonOptions = {
    {"link", "LINK", "talk to the agent of this pairing link (also $LUMORA_LINK)"},
    {"agent", "NAME", "talk to this stored agent instead of the current one"},
    {"relay", "", "reach the agent through the relay of the account `lumora login` signed in to"},
    {"help,h", "", "show this help"}};

const std::vector<Command>& allCommands() {
  static const std::vector<Command> commands = [] {
    std::vector<Command> all;
    for (auto group : {agentCommands, accountCommands, fileCommands, terminalCommands,
                       clipboardCommands, inputCommands, screenCommands}) {
      auto members = group();
      all.insert(all.end(), members.begin(), members.end());
    }
    return all;
  }();
  return commands;
}

std::string commandHelp(const Command& command) {
  std::ostringstream out;
  out << "usage: lumora " << command.name << (command.usage.empty() ? "" : " ") << command.usage
      << "\n\n"
      << command.summary << "\n";
  if (!command.details.empty()) out << "\n" << command.details << "\n";
  if (!command.options.empty()) out << "\noptions:\n" << describeOptions(command.options);
  out << "\ncommon options:\n" << describeOptions(kCommonOptions);
  return out.str();
}

// A usage mistake as one line on standard error, with where to look; exit status 2.
int usageFailure(const std::string& program, const std::string& what) {
  std::cerr << program << ": " << what << " (see " << program << " --help)\n";
  return 2;
}

}  // namespace

std::string overviewHelp() {
  std::ostringstream out;
  out << "usage: lumora COMMAND [ARGS...] [--link LINK | --agent NAME]\n\n"
         "Drives a paired Lumora agent from the terminal.\n\ncommands:\n";
  for (const auto& command : allCommands()) {
    std::string left = command.name + (command.usage.empty() ? "" : " " + command.usage);
    out << "  " << left;
    if (left.size() < 34) {
      out << std::string(34 - left.size(), ' ');
    } else {
      out << "\n" << std::string(36, ' ');
    }
    out << command.summary << "\n";
  }
  out << "\nRun `lumora COMMAND --help` for a command's options. Agents are stored in\n"
         "~/.config/lumora/agents.json by `lumora pair`.\n";
  return out.str();
}

protocol::PairingPayload CommandContext::agent() const {
  std::optional<std::string> environmentLink;
  if (const char* link = std::getenv("LUMORA_LINK")) environmentLink = link;
  AgentStore store(AgentStore::defaultPath());
  return resolveAgent(args_.value("link"), environmentLink, store, args_.value("agent"));
}

const std::optional<RelayRoute>& CommandContext::relayRoute() const {
  if (!relayRoute_ && args_.has("relay")) relayRoute_ = relayRouteTo(agent());
  return relayRoute_;
}

sdk::AgentControlClient CommandContext::connect() const {
  if (const auto& route = relayRoute()) return openRelaySession(*route, agent().code);
  return openSession(agent());
}

int runCli(const std::vector<std::string>& given) {
  // Options in front of the command name are the command's too: lumora --link L ping.
  ParsedArgs leading;
  try {
    leading = parseArgs(given, kCommonOptions, true);
  } catch (const UsageError& e) {
    return usageFailure("lumora", e.what());
  }
  const std::vector<std::string>& args = leading.positionals;
  if (args.empty() || leading.has("help") || args[0] == "help") {
    (args.empty() && !leading.has("help") ? std::cerr : std::cout) << overviewHelp();
    return args.empty() && !leading.has("help") ? 2 : 0;
  }
  const auto& commands = allCommands();
  auto command = std::find_if(commands.begin(), commands.end(),
                              [&](const Command& c) { return c.name == args[0]; });
  if (command == commands.end()) {
    return usageFailure("lumora", "unknown command '" + args[0] + "'");
  }
  const std::string program = "lumora " + command->name;
  try {
    std::vector<std::string> raw;
    for (const char* name : {"link", "agent"}) {
      if (auto value = leading.value(name)) raw.push_back("--" + std::string(name) + "=" + *value);
    }
    if (leading.has("relay")) raw.push_back("--relay");
    raw.insert(raw.end(), args.begin() + 1, args.end());
    std::vector<OptionSpec> options = command->options;
    options.insert(options.end(), kCommonOptions.begin(), kCommonOptions.end());
    ParsedArgs parsed = parseArgs(raw, options, command->stopAtFirstWord);
    if (parsed.has("help")) {
      std::cout << commandHelp(*command);
      return 0;
    }
    const std::size_t words = parsed.positionals.size();
    if (words < command->minWords || words > command->maxWords) {
      throw UsageError("usage: " + program + (command->usage.empty() ? "" : " ") + command->usage);
    }
    CommandContext context(std::move(raw), std::move(parsed));
    return command->run(context);
  } catch (const UsageError& e) {
    return usageFailure(program, e.what());
  } catch (const std::exception& e) {
    std::cerr << "lumora: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace lumora::cli
