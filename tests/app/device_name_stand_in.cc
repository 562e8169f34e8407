// The controllers' default device-name provider refers to the Linux device name, which is not
// in lumora_platform_linux yet. These tests always pass a provider of their own, so it is never
// called; the weak definition only lets the binary link, and never clashes with the real one.
// Remove this file once the real function is in the library.

#include <stdexcept>

#include "platform/linux/device_name.h"

namespace lumora::platform::linux_os {

[[gnu::weak]] std::string defaultDeviceName(const std::filesystem::path&) {
  throw std::logic_error("the tests pass a device-name provider of their own");
}

}  // namespace lumora::platform::linux_os
