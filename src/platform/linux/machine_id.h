#pragma once

#include <optional>
#include <string>

namespace lumora::platform::linux_os {

// This machine's stable identifier: /etc/machine-id, else /var/lib/dbus/machine-id; nothing
// when neither holds one.
std::optional<std::string> machineIdentifier();

// The same lookup over given files, in order; for tests.
std::optional<std::string> machineIdentifierFrom(std::initializer_list<const char*> paths);

}  // namespace lumora::platform::linux_os
