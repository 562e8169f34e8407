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

const std::vector<OptionSpec> kCommonOptions = {{"link", true}, {"agent", true}, {"help", false}};

const std::vector<Command>& allCommands() {
  static const std::vector<Command> commands = [] {
    std::vector<Command> all;
    for (auto group : {agentCommands, fileCommands, terminalCommands, clipboardCommands,
                       inputCommands, screenCommands}) {
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
  out << "\ncommon options:\n"
         "  --link LINK    talk to the agent of this pairing link (also $LUMORA_LINK)\n"
         "  --agent NAME   talk to this stored agent instead of the current one\n"
         "  --help         show this help\n";
  return out.str();
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

sdk::AgentControlClient CommandContext::connect() const { return openSession(agent()); }

int runCli(const std::vector<std::string>& given) {
  // Options in front of the command name are the command's too: lumora --link L ping.
  std::vector<std::string> leading;
  std::size_t first = 0;
  while (first < given.size()) {
    const std::string& word = given[first];
    if (word == "--link" || word == "--agent") {
      leading.push_back(given[first++]);
      if (first < given.size()) leading.push_back(given[first++]);
    } else if (word.starts_with("--link=") || word.starts_with("--agent=")) {
      leading.push_back(given[first++]);
    } else {
      break;
    }
  }
  std::vector<std::string> args(given.begin() + static_cast<std::ptrdiff_t>(first), given.end());
  if (!args.empty()) args.insert(args.begin() + 1, leading.begin(), leading.end());
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    (args.empty() ? std::cerr : std::cout) << overviewHelp();
    return args.empty() ? 2 : 0;
  }
  const auto& commands = allCommands();
  auto command = std::find_if(commands.begin(), commands.end(),
                              [&](const Command& c) { return c.name == args[0]; });
  if (command == commands.end()) {
    std::cerr << "lumora: unknown command '" << args[0] << "' (see lumora --help)\n";
    return 2;
  }
  try {
    std::vector<OptionSpec> specs = command->options;
    specs.insert(specs.end(), kCommonOptions.begin(), kCommonOptions.end());
    std::vector<std::string> raw(args.begin() + 1, args.end());
    ParsedArgs parsed = parseArgs(raw, specs, command->stopAtFirstWord);
    if (parsed.has("help")) {
      std::cout << commandHelp(*command);
      return 0;
    }
    const std::size_t words = parsed.positionals.size();
    if (words < command->minWords || words > command->maxWords) {
      throw UsageError("usage: lumora " + command->name + " " + command->usage);
    }
    CommandContext context(std::move(raw), std::move(parsed));
    return command->run(context);
  } catch (const UsageError& e) {
    std::cerr << "lumora " << command->name << ": " << e.what() << " (see lumora " << command->name
              << " --help)\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "lumora: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace lumora::cli
