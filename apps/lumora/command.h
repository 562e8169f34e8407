#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "command_line/cli_args.h"
#include "protocol/pairing_payload.h"
#include "relay_route.h"
#include "sdk/agent_control_client.h"

namespace lumora::cli {

// The program's words and options, read the way every program of ours reads them.
using command_line::OptionSpec;
using command_line::parseArgs;
using command_line::ParsedArgs;
using command_line::parseInteger;
using command_line::parseNumber;
using command_line::UsageError;

// What a command gets to work with: its parsed arguments and the way to its agent.
class CommandContext {
 public:
  CommandContext(std::vector<std::string> raw, ParsedArgs args)
      : raw_(std::move(raw)), args_(std::move(args)) {}

  // The command's arguments as given, after its name.
  const std::vector<std::string>& raw() const { return raw_; }

  const ParsedArgs& args() const { return args_; }
  const std::string& word(std::size_t index) const { return args_.positionals.at(index); }
  std::size_t wordCount() const { return args_.positionals.size(); }

  // The agent named by --link, else $LUMORA_LINK, else the stored one (--agent NAME or the
  // current). Throws Failure when there is none or the link is malformed.
  protocol::PairingPayload agent() const;
  // Connects to agent() and pairs, through the relay with --relay; throws Failure (see
  // openSession and openRelaySession).
  sdk::AgentControlClient connect() const;
  // With --relay: the agent's relay rooms and a token for them, asked for once; else nothing.
  const std::optional<RelayRoute>& relayRoute() const;

 private:
  std::vector<std::string> raw_;
  ParsedArgs args_;
  mutable std::optional<RelayRoute> relayRoute_;
};

struct Command {
  std::string name;
  std::string usage;                // the arguments after the name, e.g. "REMOTE [LOCAL]"
  std::string summary;              // one line for the command list
  std::string details;              // paragraphs for `lumora NAME --help`, ahead of its options
  std::vector<OptionSpec> options;  // besides the common ones (--link, --agent, --help)
  std::size_t minWords = 0;
  std::size_t maxWords = 0;
  bool stopAtFirstWord = false;  // everything from the first word on is the command's own
  // Returns the exit status; throws Failure or UsageError.
  std::function<int(CommandContext&)> run;
};

// Each group of commands lives in a file of its own.
std::vector<Command> agentCommands();      // pair, ping, displays
std::vector<Command> accountCommands();    // login, logout, devices
std::vector<Command> fileCommands();       // ls, get, put, mv, rm
std::vector<Command> terminalCommands();   // run, shell
std::vector<Command> clipboardCommands();  // clip
std::vector<Command> inputCommands();      // move, click, type, key, scroll
std::vector<Command> screenCommands();     // stream, snapshot
// The screen commands' names, help and options, without what they run: the lumora program
// hands them to the lumora-screen helper, which alone loads the video libraries (whose
// start-up would otherwise cost every command a tenth of a second).
std::vector<Command> screenCommandSpecs();

}  // namespace lumora::cli
