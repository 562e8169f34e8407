#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "command_line/cli_args.h"
#include "sdk/agent_control_client.h"

namespace lumora::cli {

// How a transfer is cut up. Several chunk requests travel at once, so a transfer costs one
// round trip to start rather than one per chunk; at most window × chunkSize bytes are held.
struct TransferOptions {
  std::int64_t chunkSize = std::int64_t{1} << 20;
  std::size_t window = 8;
};

// The transfer options --chunk-kib and --window; a chunk larger than the agent serves in one
// reply is cut to that size. Throws UsageError naming the option.
TransferOptions transferOptions(const ParsedArgs& args);

// Bytes done so far and the total (as far as known).
using ProgressHandler = std::function<void(std::int64_t done, std::int64_t total)>;

// Streams the remote file into `local` (a temporary beside it, renamed into place once
// complete; "-" writes to standard output). Returns the bytes received. Throws Failure
// naming the remote or local file.
std::int64_t downloadToFile(sdk::AgentControlClient& client, const std::string& remote,
                            const std::string& local, const TransferOptions& options,
                            const ProgressHandler& progress);

// Streams `local` into the remote file. The first chunk (which creates or empties the remote
// file) is acknowledged before the rest go out in a window, so the order in which the agent
// applies the others does not matter. Returns the bytes sent.
std::int64_t uploadFromFile(sdk::AgentControlClient& client, const std::string& local,
                            const std::string& remote, const TransferOptions& options,
                            const ProgressHandler& progress);

}  // namespace lumora::cli
