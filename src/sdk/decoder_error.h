#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace lumora::sdk {

// Why VideoDecoder::decode could not decode an access unit. The status is the codec
// library's (negative) error number.
class DecoderError : public std::runtime_error {
 public:
  enum class Kind {
    formatDescriptionFailed,  // the parameter sets were rejected
    sessionCreateFailed,      // no decoder could be set up for them
    sampleBufferFailed,       // the access unit could not be packaged for the decoder
    decodeFailed,             // the decoder refused the access unit
    missingParameterSets,     // a frame arrived before any key frame
  };

  DecoderError(Kind kind, std::int32_t status);

  Kind kind() const { return kind_; }
  // 0 for missingParameterSets.
  std::int32_t status() const { return status_; }

 private:
  Kind kind_;
  std::int32_t status_;
};

}  // namespace lumora::sdk
