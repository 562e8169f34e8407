#pragma once

#include <boost/describe/class.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/bytes.h"

namespace lumora::protocol {

struct FileTransfer {
  // The chunk length clients use for downloads ("length") and uploads (each "data").
  static constexpr std::int64_t chunkSize = 262144;
};

struct FileEntry {
  std::string name;
  std::string path;
  bool isDirectory = false;
  std::int64_t size = 0;
  // Seconds since 1970 (UTC) of the entry's own last change; absent when the system cannot say.
  std::optional<std::int64_t> modified = std::nullopt;
  bool operator==(const FileEntry&) const = default;
};
BOOST_DESCRIBE_STRUCT(FileEntry, (), (name, path, isDirectory, size, modified))

struct FileListRequest {
  std::string path;
  bool operator==(const FileListRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(FileListRequest, (), (path))

struct FileListResult {
  std::string path;
  std::vector<FileEntry> entries;
  bool operator==(const FileListResult&) const = default;
};
BOOST_DESCRIBE_STRUCT(FileListResult, (), (path, entries))

struct FileMoveRequest {
  std::string source;
  std::string destination;
  bool operator==(const FileMoveRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(FileMoveRequest, (), (source, destination))

struct FileRemoveRequest {
  std::string path;
  bool operator==(const FileRemoveRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(FileRemoveRequest, (), (path))

// Without a length the agent reads to the end of the file.
struct FileDownloadRequest {
  std::string path;
  std::int64_t offset = 0;
  std::optional<std::int64_t> length;
  bool operator==(const FileDownloadRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(FileDownloadRequest, (), (path, offset, length))

struct FileDownloadResult {
  std::string path;
  Bytes data;
  std::int64_t offset = 0;
  std::int64_t totalSize = 0;
  bool eof = false;
  bool operator==(const FileDownloadResult&) const = default;
};
BOOST_DESCRIBE_STRUCT(FileDownloadResult, (), (path, data, offset, totalSize, eof))

struct FileUploadRequest {
  std::string path;
  Bytes data;
  std::int64_t offset = 0;
  bool isFinal = false;
  bool operator==(const FileUploadRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(FileUploadRequest, (), (path, data, offset, isFinal))

}  // namespace lumora::protocol
