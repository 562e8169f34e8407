#pragma once

#include <stdexcept>
#include <string>

namespace lumora::platform {

// Why a frame source could not start. Carries a domain and code so that callers can tell the
// "no display" case (code 1) from platform failures (code 2) without matching text.
class CaptureError : public std::runtime_error {
 public:
  static constexpr const char* kDomain = "lumora.capture";
  enum Code { noDisplay = 1, platformFailure = 2 };

  CaptureError(Code code, const std::string& description)
      : std::runtime_error(description), code_(code) {}

  static CaptureError noDisplayAvailable() { return {noDisplay, "no display available"}; }

  Code code() const { return code_; }
  const char* domain() const { return kDomain; }

 private:
  Code code_;
};

}  // namespace lumora::platform
