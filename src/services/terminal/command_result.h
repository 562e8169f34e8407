#pragma once

#include <cstdint>
#include <string>

namespace lumora::services {

struct CommandResult {
  std::int32_t exitCode = 0;
  std::string stdout;  // UTF-8; each byte that was not is U+FFFD
  std::string stderr;
  bool operator==(const CommandResult&) const = default;
};

}  // namespace lumora::services
