#include "sdk/decoder_error.h"

namespace lumora::sdk {

namespace {

std::string describe(DecoderError::Kind kind, std::int32_t status) {
  const std::string suffix = " (status " + std::to_string(status) + ")";
  switch (kind) {
    case DecoderError::Kind::formatDescriptionFailed:
      return "video parameter sets rejected" + suffix;
    case DecoderError::Kind::sessionCreateFailed:
      return "video decoder could not be created" + suffix;
    case DecoderError::Kind::sampleBufferFailed:
      return "video frame could not be prepared for decoding" + suffix;
    case DecoderError::Kind::decodeFailed:
      return "video frame could not be decoded" + suffix;
    case DecoderError::Kind::missingParameterSets:
      return "video frame arrived before any key frame";
  }
  return "video decoder error" + suffix;
}

}  // namespace

DecoderError::DecoderError(Kind kind, std::int32_t status)
    : std::runtime_error(describe(kind, status)), kind_(kind), status_(status) {}

}  // namespace lumora::sdk
