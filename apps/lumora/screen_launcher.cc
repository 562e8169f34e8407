// The lumora program's stream and snapshot: the same commands, run by the lumora-screen
// helper beside this program (see screenCommandSpecs).

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "command.h"
#include "failure.h"

namespace lumora::cli {

namespace {

int launch(const std::string& name, CommandContext& context) {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw Failure("cannot find lumora-screen: " + ec.message());
  const std::string helper = (self.parent_path() / "lumora-screen").string();
  std::vector<std::string> args = {helper, name};
  args.insert(args.end(), context.raw().begin(), context.raw().end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  ::execv(helper.c_str(), argv.data());
  throw Failure("cannot run " + helper + ": " + std::strerror(errno));
}

}  // namespace

std::vector<Command> screenCommands() {
  std::vector<Command> commands = screenCommandSpecs();
  for (auto& command : commands) {
    command.run = [name = command.name](CommandContext& context) { return launch(name, context); };
  }
  return commands;
}

}  // namespace lumora::cli
