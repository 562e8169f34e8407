#pragma once

#include "protocol/bytes.h"

#include <cstdint>
#include <memory>

namespace lumora::services::screen {

// One encoded picture as H.264 Annex B: every NAL unit behind a 4-byte start code 00 00 00 01,
// and on key frames the SPS and then the PPS ahead of the picture's slices.
//
// The bytes are shared and immutable, so a sink can hand the same frame to many connections
// (and across threads) without copying it. `data` is never null for frames the encoder emits.
struct EncodedVideoFrame {
  std::uint64_t frameID = 0;  // the encoder's running number, from 0, never reset
  int width = 0;              // size of the picture as encoded
  int height = 0;
  bool isKeyframe = false;  // an IDR picture: decoding can start here
  std::shared_ptr<const protocol::Bytes> data;
  std::uint64_t presentationTimeMillis = 0;  // the capture time handed in with the raw frame

  const protocol::Bytes& bytes() const {
    static const protocol::Bytes kEmpty;
    return data ? *data : kEmpty;
  }

  // Field by field, the bytes by content.
  bool operator==(const EncodedVideoFrame& other) const {
    return frameID == other.frameID && width == other.width && height == other.height &&
           isKeyframe == other.isKeyframe &&
           presentationTimeMillis == other.presentationTimeMillis && bytes() == other.bytes();
  }
};

}  // namespace lumora::services::screen
