#pragma once

#include <stdexcept>

namespace lumora::sdk {

// How a browser sign-in ends without a usable answer. what() gives an English description.
class OAuthFlowError : public std::runtime_error {
 public:
  enum class Kind {
    cancelled,    // no callback came in time, or a newer sign-in took this one's place
    cannotStart,  // no browser could be opened, or the provider's answer held no credential
  };

  static OAuthFlowError cancelled();
  static OAuthFlowError cannotStart();

  Kind kind() const { return kind_; }
  bool operator==(const OAuthFlowError& other) const { return kind_ == other.kind_; }

 private:
  OAuthFlowError(Kind kind, const char* description);

  Kind kind_;
};

}  // namespace lumora::sdk
