#pragma once

#include <string>

#include "protocol/bytes.h"

namespace lumora::cli {

// Whole small local files (clipboard contents, pictures). Throw Failure naming the file.
protocol::Bytes readLocalFile(const std::string& path);
void writeLocalFile(const std::string& path, protocol::ByteView data);

}  // namespace lumora::cli
