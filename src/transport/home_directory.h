#pragma once

#include <filesystem>

#include "platform/linux/user_account.h"

namespace lumora::transport {

// Where the agent keeps its files: ~/.lumora.
inline std::filesystem::path agentDirectory() {
  return std::filesystem::path(platform::linux_os::homeDirectory()) / ".lumora";
}

}  // namespace lumora::transport
