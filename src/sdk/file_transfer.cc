#include "sdk/file_transfer.h"

#include <algorithm>
#include <deque>
#include <future>
#include <stdexcept>
#include <utility>

namespace lumora::sdk {

namespace {

void check(const TransferOptions& options) {
  if (options.chunkSize < 1) throw std::invalid_argument("chunk size must be positive");
  if (options.window < 1) throw std::invalid_argument("window must be positive");
}

}  // namespace

std::int64_t downloadFile(AgentControlClient& client, const std::string& remote,
                          const PieceSink& sink, const TransferOptions& options,
                          const TransferProgress& progress) {
  check(options);
  std::deque<std::future<protocol::FileDownloadResult>> inFlight;
  std::int64_t nextOffset = 0;
  std::int64_t received = 0;
  std::int64_t total = -1;  // unknown until the first answer
  for (;;) {
    while (inFlight.size() < options.window &&
           (inFlight.empty() || (total >= 0 && nextOffset < total))) {
      inFlight.push_back(client.downloadChunk(remote, nextOffset, options.chunkSize));
      nextOffset += options.chunkSize;
    }
    protocol::FileDownloadResult chunk = inFlight.front().get();
    inFlight.pop_front();
    if (chunk.offset != received) {
      throw std::runtime_error("the agent answered for offset " + std::to_string(chunk.offset) +
                               " instead of " + std::to_string(received));
    }
    sink(chunk.data);
    const auto size = static_cast<std::int64_t>(chunk.data.size());
    received += size;
    total = chunk.totalSize;
    if (progress) progress(received, std::max(total, received));
    if (chunk.eof || chunk.data.empty()) return received;
    if (size != options.chunkSize) {
      // A short piece that is not the end (the file changed under us): the requests already
      // out aim at the wrong offsets, so start again from here. Their answers are dropped.
      inFlight.clear();
      nextOffset = received;
    }
  }
}

std::int64_t uploadFile(AgentControlClient& client, std::int64_t size, const PieceSource& source,
                        const std::string& remote, const TransferOptions& options,
                        const TransferProgress& progress) {
  check(options);
  auto piece = [&](std::int64_t offset) {
    return source(offset, static_cast<std::size_t>(std::min(options.chunkSize, size - offset)));
  };
  protocol::Bytes first = piece(0);
  std::int64_t sent = static_cast<std::int64_t>(first.size());
  client.uploadChunk(remote, std::move(first), 0, sent >= size).get();
  std::int64_t acknowledged = sent;
  if (progress) progress(acknowledged, size);

  std::deque<std::pair<std::int64_t, std::future<void>>> inFlight;
  auto settleOldest = [&] {
    inFlight.front().second.get();
    acknowledged += inFlight.front().first;
    inFlight.pop_front();
    if (progress) progress(acknowledged, size);
  };
  while (sent < size) {
    if (inFlight.size() >= options.window) settleOldest();
    protocol::Bytes data = piece(sent);
    const auto length = static_cast<std::int64_t>(data.size());
    if (length == 0) throw std::runtime_error("the source ended before its size");
    const bool isFinal = sent + length >= size;
    inFlight.emplace_back(length, client.uploadChunk(remote, std::move(data), sent, isFinal));
    sent += length;
  }
  while (!inFlight.empty()) settleOldest();
  return sent;
}

}  // namespace lumora::sdk
