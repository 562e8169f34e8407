#pragma once

// Whole-file transfers with an agent, pipelined: several chunk requests travel at once, so a
// transfer costs about one round trip to start rather than one per chunk. They block the
// calling thread, which therefore must not be the connection's own (a library callback).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "protocol/bytes.h"
#include "sdk/agent_control_client.h"

namespace lumora::sdk {

// How a transfer is cut up: at most window × chunkSize bytes are in flight or held.
struct TransferOptions {
  std::int64_t chunkSize = std::int64_t{1} << 20;  // positive
  std::size_t window = 8;                          // positive
};

// Bytes done so far and the total (as far as known).
using TransferProgress = std::function<void(std::int64_t done, std::int64_t total)>;
// Takes each piece of a download, in file order.
using PieceSink = std::function<void(const protocol::Bytes& piece)>;
// The `length` bytes of the upload's source at `offset`.
using PieceSource = std::function<protocol::Bytes(std::int64_t offset, std::size_t length)>;

// Reads the remote file to its end into `sink`; returns the bytes received. The first request
// alone tells the size, then the window fills up to the end; a file that grows meanwhile is
// followed one request at a time until the agent reports its end. Throws what the requests
// fail with (SDKError), std::runtime_error when the agent answers for the wrong offset, and
// whatever `sink` throws; std::invalid_argument for options out of range.
std::int64_t downloadFile(AgentControlClient& client, const std::string& remote,
                          const PieceSink& sink, const TransferOptions& options = {},
                          const TransferProgress& progress = {});

// Writes `size` bytes from `source` as the remote file; returns the bytes sent. The first
// piece (which creates or empties the remote file) is acknowledged before the rest go out in a
// window, so the order in which the agent applies the others does not matter; the last is
// marked final. An empty source writes an empty file. Throws like downloadFile, and whatever
// `source` throws.
std::int64_t uploadFile(AgentControlClient& client, std::int64_t size, const PieceSource& source,
                        const std::string& remote, const TransferOptions& options = {},
                        const TransferProgress& progress = {});

}  // namespace lumora::sdk
