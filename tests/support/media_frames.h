#pragma once

#include <cstdint>

#include "protocol/media_frame.h"

namespace lumora::testing_support {

// A frame as the encoder hands it on, whose payload is `payloadBytes` copies of its ID's low
// byte: a frame that arrives mangled, twice or out of turn shows which one it was.
inline protocol::MediaFrame testFrame(std::uint64_t id, bool isKeyframe,
                                      std::size_t payloadBytes = 16) {
  protocol::MediaFrame frame;
  frame.meta = {id,         64,
                32,         protocol::VideoCodec::h264,
                isKeyframe, static_cast<std::int64_t>(payloadBytes),
                id * 33};
  frame.payload.assign(payloadBytes, static_cast<std::uint8_t>(id));
  return frame;
}

}  // namespace lumora::testing_support
