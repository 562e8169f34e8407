#pragma once

#include <stdexcept>

namespace lumora::services::screen {

// ScreenService's own failure: there is no display to capture.
class ScreenError : public std::runtime_error {
 public:
  enum Code { noDisplay };

  explicit ScreenError(Code code) : std::runtime_error("no display"), code_(code) {}
  Code code() const { return code_; }

 private:
  Code code_;
};

}  // namespace lumora::services::screen
