// ls, get, put, mv, rm: the agent's files.

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "command.h"
#include "failure.h"
#include "file_transfer.h"
#include "progress_bar.h"
#include "protocol/limits.h"

namespace lumora::cli {

namespace {

std::string baseName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  auto slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

const std::vector<OptionSpec> kTransferOptions = {
    {"chunk-kib", "N",
     "bytes per request, in KiB (default 1024; larger is cut to the " +
         std::to_string(protocol::kMaxFileChunkLength >> 10) + " the agent sends at once)"},
    {"window", "N", "requests in flight at once (default 8, at most 256)"}};

int list(CommandContext& context) {
  auto client = context.connect();
  const std::string path = context.wordCount() > 0 ? context.word(0) : "~";
  auto listing = await(client.listFiles(path), "cannot list " + path);
  for (const auto& entry : listing.entries) {
    std::printf("%c %12lld  %s%s\n", entry.isDirectory ? 'd' : '-',
                static_cast<long long>(entry.size), entry.name.c_str(),
                entry.isDirectory ? "/" : "");
  }
  return 0;
}

int get(CommandContext& context) {
  const std::string& remote = context.word(0);
  std::string local = context.wordCount() > 1 ? context.word(1) : baseName(remote);
  if (local != "-" && std::filesystem::is_directory(local)) {
    local = (std::filesystem::path(local) / baseName(remote)).string();
  }
  const sdk::TransferOptions options = transferOptions(context.args());
  auto client = context.connect();
  ProgressBar bar(baseName(remote));
  downloadToFile(client, remote, local, options,
                 [&](std::int64_t done, std::int64_t total) { bar.update(done, total); });
  bar.finish();
  return 0;
}

int put(CommandContext& context) {
  const std::string& local = context.word(0);
  std::string remote = context.word(1);
  if (remote.ends_with('/')) remote += baseName(local);
  const sdk::TransferOptions options = transferOptions(context.args());
  auto client = context.connect();
  ProgressBar bar(baseName(local));
  uploadFromFile(client, local, remote, options,
                 [&](std::int64_t done, std::int64_t total) { bar.update(done, total); });
  bar.finish();
  return 0;
}

int move(CommandContext& context) {
  auto client = context.connect();
  await(client.moveFile(context.word(0), context.word(1)),
        "cannot move " + context.word(0) + " to " + context.word(1));
  return 0;
}

int remove(CommandContext& context) {
  auto client = context.connect();
  for (const auto& path : context.args().positionals) {
    await(client.removeFile(path), "cannot remove " + path);
  }
  return 0;
}

}  // namespace

std::vector<Command> fileCommands() {
  return {
      {"ls",
       "[PATH]",
       "list a directory of the agent (default: its home)",
       "One line per entry: d for a directory or - for a file, the size in bytes, the name.",
       {},
       0,
       1,
       false,
       list},
      {"get", "REMOTE [LOCAL]", "download a file (LOCAL may be a directory, or - for stdout)",
       "Shows a progress bar when standard error is a terminal. The file appears under its\n"
       "name only once complete.",
       kTransferOptions, 1, 2, false, get},
      {"put", "LOCAL REMOTE", "upload a file (REMOTE ending in / keeps the local name)",
       "Shows a progress bar when standard error is a terminal.", kTransferOptions, 2, 2, false,
       put},
      {"mv", "FROM TO", "move or rename a file of the agent", "", {}, 2, 2, false, move},
      {"rm",
       "PATH...",
       "remove files or directories (with their contents) of the agent",
       "",
       {},
       1,
       64,
       false,
       remove},
  };
}

}  // namespace lumora::cli
