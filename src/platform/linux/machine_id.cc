#include "platform/linux/machine_id.h"

#include <fstream>

namespace lumora::platform::linux_os {

std::optional<std::string> machineIdentifierFrom(std::initializer_list<const char*> paths) {
  for (const char* path : paths) {
    std::ifstream file(path);
    std::string id;
    if (file && std::getline(file, id)) {
      auto end = id.find_last_not_of(" \t\r\n");
      id.erase(end == std::string::npos ? 0 : end + 1);
      if (!id.empty()) return id;
    }
  }
  return std::nullopt;
}

std::optional<std::string> machineIdentifier() {
  return machineIdentifierFrom({"/etc/machine-id", "/var/lib/dbus/machine-id"});
}

}  // namespace lumora::platform::linux_os
