#pragma once

namespace lumora::platform {

// Whether the desktop application starts when the user logs in.
class LoginItem {
 public:
  virtual ~LoginItem() = default;
  virtual bool isEnabled() const = 0;
  // Both throw std::runtime_error (what() for the user) when the change cannot be made.
  virtual void enable() = 0;
  virtual void disable() = 0;
};

}  // namespace lumora::platform
