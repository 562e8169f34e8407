#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "protocol/bytes.h"

namespace lumora::cli {

// Whole small local files (clipboard contents, pictures). Throw Failure naming the file.

// The whole file; nothing when it holds more than `limit` bytes (it is not read then).
std::optional<protocol::Bytes> readLocalFile(const std::string& path, std::size_t limit);

// What writing does to a file that is already there.
enum class Existing {
  replace,
  refuse,  // fail, saying that --force replaces it
};
void writeLocalFile(const std::string& path, protocol::ByteView data, Existing existing);

}  // namespace lumora::cli
