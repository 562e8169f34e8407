// Feeds the input to a MediaFrameDecoder in input-chosen pieces; every frame it yields must
// encode and decode back to itself.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "protocol/media_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumora::protocol;
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 128;
  MediaFrameDecoder decoder(/*maxPayloadLength=*/1 << 16, /*maxHeaderLength=*/1 << 12);
  for (std::size_t at = 1; at < size; at += piece) {
    std::size_t length = std::min(piece, size - at);
    for (const MediaFrame& frame : decoder.push(ByteView(data + at, length))) {
      FUZZ_CHECK(frame.payload.size() <= (1u << 16));
      MediaFrameDecoder echo;
      auto frames = echo.push(MediaFrameCodec::encode(frame));
      FUZZ_CHECK(frames.size() == 1 && frames[0] == frame);
    }
  }
  return 0;
}
