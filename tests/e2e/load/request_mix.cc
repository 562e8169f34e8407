#include "request_mix.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string_view>

namespace lumora::load {

using protocol::Envelope;
using protocol::MessageType;

namespace {

constexpr int kFileCount = 4;
constexpr std::size_t kLargestFile = 24 << 10;
constexpr std::int64_t kLongestRange = 8 << 10;
// Commands are this followed by one word, which is all they print.
constexpr std::string_view kEcho = "echo ";

std::string typeName(const Envelope& envelope) {
  if (const auto* error = envelope.payload.get<MessageType::error>()) {
    return "error " + error->code + " / " + error->message;
  }
  return "type #" + std::to_string(static_cast<int>(envelope.payload.messageType()));
}

}  // namespace

RequestMix::RequestMix(std::filesystem::path directory) : directory_(std::move(directory)) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int i = 0; i < kFileCount; ++i) {
    // Sizes from a few bytes to a few chunks of the longest range.
    const std::size_t size = i == 0 ? 5 : kLargestFile * static_cast<std::size_t>(i) / 3 + 17;
    protocol::Bytes content(size);
    for (auto& b : content) b = static_cast<std::uint8_t>(byte(random));
    const std::string path = (directory_ / ("file-" + std::to_string(i) + ".bin")).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    files_.emplace(path, std::move(content));
  }
  // Directories first, then files by name.
  const std::string nested = (directory_ / "nested").string();
  std::filesystem::create_directory(nested);
  struct stat info {};
  ::lstat(nested.c_str(), &info);
  listing_.push_back({"nested", nested, true, static_cast<std::int64_t>(info.st_size)});
  for (const auto& [path, content] : files_) {
    listing_.push_back({std::filesystem::path(path).filename().string(), path, false,
                        static_cast<std::int64_t>(content.size())});
  }
}

Envelope RequestMix::next(std::mt19937& random, int commandEvery) const {
  const int roll = std::uniform_int_distribution<int>(0, commandEvery - 1)(random);
  if (roll == 0) {
    const std::string word = "load-" + std::to_string(random());
    return Envelope::request(protocol::TerminalRunRequest{std::string(kEcho) + word, "/bin/sh"});
  }
  switch (roll % 3) {
    case 0:
      return Envelope::request(protocol::PingRequest{});
    case 1:
      return Envelope::request(protocol::FileListRequest{directory_.string()});
    default: {
      auto file = files_.begin();
      std::advance(file, std::uniform_int_distribution<int>(0, kFileCount - 1)(random));
      const auto size = static_cast<std::int64_t>(file->second.size());
      const std::int64_t offset = std::uniform_int_distribution<std::int64_t>(0, size)(random);
      std::optional<std::int64_t> length;
      // One in four reads to the end of the file.
      if (random() % 4 != 0) {
        length = std::uniform_int_distribution<std::int64_t>(1, kLongestRange)(random);
      }
      return Envelope::request(protocol::FileDownloadRequest{file->first, offset, length});
    }
  }
}

std::string RequestMix::check(const Envelope& request, const Envelope& reply) const {
  if (reply.correlationID != request.id) return "reply not correlated to its request";
  if (request.payload.messageType() == MessageType::ping) {
    return reply.payload.messageType() == MessageType::ack ? ""
                                                           : "ping answered by " + typeName(reply);
  }
  if (const auto* list = request.payload.get<MessageType::fileList>()) {
    return checkListing(*list, reply);
  }
  if (const auto* download = request.payload.get<MessageType::fileDownload>()) {
    return checkDownload(*download, reply);
  }
  if (const auto* run = request.payload.get<MessageType::terminalRun>()) {
    return checkCommand(*run, reply);
  }
  return "request outside the mix";
}

std::string RequestMix::checkListing(const protocol::FileListRequest& request,
                                     const Envelope& reply) const {
  const auto* result = reply.payload.get<MessageType::fileListResult>();
  if (!result) return "file.list answered by " + typeName(reply);
  if (result->path != request.path) return "file.list result for another path: " + result->path;
  if (result->entries != listing_) {
    return "file.list entries differ (" + std::to_string(result->entries.size()) + " entries)";
  }
  return "";
}

std::string RequestMix::checkDownload(const protocol::FileDownloadRequest& request,
                                      const Envelope& reply) const {
  const auto* result = reply.payload.get<MessageType::fileDownloadResult>();
  if (!result) return "file.download answered by " + typeName(reply);
  const protocol::Bytes& content = files_.at(request.path);
  const auto size = static_cast<std::int64_t>(content.size());
  const std::int64_t end = request.length ? std::min(size, request.offset + *request.length) : size;
  const protocol::Bytes expected(content.begin() + request.offset, content.begin() + end);
  if (result->path != request.path || result->offset != request.offset) {
    return "file.download result for another range: " + result->path + " @" +
           std::to_string(result->offset);
  }
  if (result->totalSize != size) return "file.download total size " + std::to_string(size);
  if (result->data != expected) {
    return "file.download bytes differ (" + std::to_string(result->data.size()) + " for " +
           std::to_string(expected.size()) + " expected)";
  }
  if (result->eof != (end == size)) return "file.download end-of-file flag wrong";
  return "";
}

std::string RequestMix::checkCommand(const protocol::TerminalRunRequest& request,
                                     const Envelope& reply) {
  const auto* result = reply.payload.get<MessageType::terminalRunResult>();
  if (!result) return "terminal.run answered by " + typeName(reply);
  const std::string printed = request.command.substr(kEcho.size()) + "\n";
  if (result->exitCode != 0 || result->stdout != printed || !result->stderr.empty()) {
    return "terminal.run result differs: exit " + std::to_string(result->exitCode) + ", out '" +
           result->stdout + "', err '" + result->stderr + "'";
  }
  return "";
}

}  // namespace lumora::load
