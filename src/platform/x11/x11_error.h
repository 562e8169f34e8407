#pragma once

#include <stdexcept>
#include <string>

namespace lumora::platform::x11 {

// Why the X server could not be used (no server, a missing extension, a failed request).
class X11Error : public std::runtime_error {
 public:
  explicit X11Error(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace lumora::platform::x11
