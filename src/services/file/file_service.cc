#include "services/file/file_service.h"

#include "core/run_on.h"

namespace lumora::services {

namespace ops = file_operations;
using protocol::Bytes;

FileService::FileService(boost::asio::any_io_executor workExecutor)
    : strand_(boost::asio::make_strand(std::move(workExecutor))), log_("file") {}

boost::asio::awaitable<void> FileService::start() {
  log_.info("file-service started");
  co_return;
}

boost::asio::awaitable<void> FileService::stop() {
  log_.info("file-service stopped");
  co_return;
}

boost::asio::awaitable<std::vector<FileService::Entry>> FileService::list(std::string path) {
  auto work = [this, path = std::move(path)] {
    ops::Listing listing = ops::list(path);
    log_.info("file list: path=" + path + " names=" + std::to_string(listing.nameCount) +
              " entries=" + std::to_string(listing.entries.size()));
    return std::move(listing.entries);
  };
  co_return co_await core::runOn(strand_, std::move(work));
}

boost::asio::awaitable<Bytes> FileService::read(std::string path) {
  auto work = [path = std::move(path)] { return ops::read(path); };
  co_return co_await core::runOn(strand_, std::move(work));
}

boost::asio::awaitable<FileService::Chunk> FileService::readChunk(
    std::string path, std::int64_t offset, std::optional<std::int64_t> length) {
  auto work = [path = std::move(path), offset, length] {
    return ops::readChunk(path, offset, length);
  };
  co_return co_await core::runOn(strand_, std::move(work));
}

boost::asio::awaitable<void> FileService::write(std::string path, Bytes data) {
  auto work = [path = std::move(path), data = std::move(data)] { ops::write(path, data); };
  co_await core::runOn(strand_, std::move(work));
}

boost::asio::awaitable<void> FileService::writeChunk(std::string path, Bytes data,
                                                     std::int64_t offset, bool isFinal) {
  auto work = [path = std::move(path), data = std::move(data), offset, isFinal] {
    ops::writeChunk(path, data, offset, isFinal);
  };
  co_await core::runOn(strand_, std::move(work));
}

boost::asio::awaitable<void> FileService::move(std::string from, std::string to) {
  auto work = [from = std::move(from), to = std::move(to)] { ops::move(from, to); };
  co_await core::runOn(strand_, std::move(work));
}

boost::asio::awaitable<void> FileService::remove(std::string path) {
  auto work = [path = std::move(path)] { ops::remove(path); };
  co_await core::runOn(strand_, std::move(work));
}

}  // namespace lumora::services
