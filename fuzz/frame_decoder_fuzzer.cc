// Feeds the input to a FrameDecoder in pieces whose sizes the input also chooses, and checks
// that no body exceeds the limit and nothing is buffered after a failure.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "protocol/frame_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumora::protocol;
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  FrameDecoder decoder(/*maxBodyLength=*/4096);
  for (std::size_t at = 1; at < size; at += piece) {
    std::size_t length = std::min(piece, size - at);
    for (const Bytes& body : decoder.push(ByteView(data + at, length))) {
      FUZZ_CHECK(body.size() <= decoder.maxBodyLength());
    }
    if (decoder.failed()) FUZZ_CHECK(decoder.bufferedByteCount() == 0);
    FUZZ_CHECK(decoder.bufferedByteCount() <= 4 + decoder.maxBodyLength() + piece);
  }
  return 0;
}
