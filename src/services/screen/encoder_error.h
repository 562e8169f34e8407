#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace lumora::services::screen {

// Why H264Encoder could not take a frame. The status is the codec library's error code (a
// negative errno-style value); notPrepared carries 0.
class EncoderError : public std::runtime_error {
 public:
  enum class Kind { sessionCreateFailed, encodeFailed, notPrepared };

  static EncoderError sessionCreateFailed(std::int32_t status) {
    return {
        Kind::sessionCreateFailed,
        "the video encoder session could not be created (status " + std::to_string(status) + ")",
        status};
  }
  static EncoderError encodeFailed(std::int32_t status) {
    return {Kind::encodeFailed,
            "the video encoder refused the frame (status " + std::to_string(status) + ")", status};
  }
  static EncoderError notPrepared() {
    return {Kind::notPrepared, "the video encoder has no session", 0};
  }

  Kind kind() const { return kind_; }
  std::int32_t status() const { return status_; }

 private:
  EncoderError(Kind kind, const std::string& message, std::int32_t status)
      : std::runtime_error(message), kind_(kind), status_(status) {}

  Kind kind_;
  std::int32_t status_;
};

}  // namespace lumora::services::screen
