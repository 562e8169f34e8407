#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "command_line/cli_args.h"
#include "sdk/agent_control_client.h"
#include "sdk/file_transfer.h"

namespace lumora::cli {

// The transfer options --chunk-kib and --window; a chunk larger than the agent serves in one
// reply is cut to that size. Throws UsageError naming the option.
sdk::TransferOptions transferOptions(const command_line::ParsedArgs& args);

// Streams the remote file into `local` (a temporary beside it, renamed into place once
// complete; "-" writes to standard output). Returns the bytes received. Throws Failure
// naming the remote or local file.
std::int64_t downloadToFile(sdk::AgentControlClient& client, const std::string& remote,
                            const std::string& local, const sdk::TransferOptions& options,
                            const sdk::TransferProgress& progress);

// Streams `local` into the remote file. Returns the bytes sent. Throws Failure naming the
// remote or local file.
std::int64_t uploadFromFile(sdk::AgentControlClient& client, const std::string& local,
                            const std::string& remote, const sdk::TransferOptions& options,
                            const sdk::TransferProgress& progress);

}  // namespace lumora::cli
