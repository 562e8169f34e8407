#pragma once

#include <filesystem>
#include <string>

namespace lumora::platform::linux_os {

// The name the user gave this computer: PRETTY_HOSTNAME of /etc/machine-info, else the host
// name (never empty: "localhost" as a last resort).
std::string defaultDeviceName(const std::filesystem::path& machineInfo = "/etc/machine-info");

}  // namespace lumora::platform::linux_os
