#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/strand.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/agent_log.h"
#include "core/agent_service.h"
#include "services/file/file_operations.h"

namespace lumora::services {

// The computer's files, with the rights of the user running the agent. Stateless: a chunked
// transfer is a series of independent calls, each with its offset. Operations run one at a time
// on the service's strand over the worker pool, so two chunks of one upload never interleave;
// callers may await them from any executor. Errors are thrown as file_operations describes.
class FileService : public core::AgentService {
 public:
  using Entry = file_operations::Entry;
  using Chunk = file_operations::Chunk;

  explicit FileService(boost::asio::any_io_executor workExecutor);

  std::string name() const override { return "file-service"; }
  boost::asio::awaitable<void> start() override;
  boost::asio::awaitable<void> stop() override;

  boost::asio::awaitable<std::vector<Entry>> list(std::string path);
  boost::asio::awaitable<protocol::Bytes> read(std::string path);
  boost::asio::awaitable<Chunk> readChunk(std::string path, std::int64_t offset,
                                          std::optional<std::int64_t> length);
  boost::asio::awaitable<void> write(std::string path, protocol::Bytes data);
  boost::asio::awaitable<void> writeChunk(std::string path, protocol::Bytes data,
                                          std::int64_t offset, bool isFinal);
  boost::asio::awaitable<void> move(std::string from, std::string to);
  boost::asio::awaitable<void> remove(std::string path);

 private:
  boost::asio::strand<boost::asio::any_io_executor> strand_;
  core::AgentLog log_;
};

}  // namespace lumora::services
