#pragma once

#include "platform/pixel_buffer.h"
#include "protocol/bytes.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct AVCodecContext;

namespace lumora::services::screen::testing {

// BGRA test pictures: a diagonal gradient with a 16-pixel box whose position follows `step`.
platform::PixelBuffer movingBox(int width, int height, int step);
// The gradient under random speckles (seeded): content that costs bits in every frame.
platform::PixelBuffer noisy(int width, int height, std::uint32_t seed);

// The NAL units of an Annex B picture as this test reads them, independently of the encoder's
// own parser: every start code must be the 4-byte one.
struct NalLayout {
  std::vector<int> types;
  std::vector<protocol::Bytes> units;
  bool startsWithStartCode = false;
  int shortStartCodes = 0;  // 00 00 01 not preceded by a zero
};
NalLayout nalLayout(const protocol::Bytes& annexB);

// libavcodec's H.264 decoder, one picture in, one picture out.
struct DecodedPicture {
  int width = 0;
  int height = 0;
  bool keyFrame = false;
  std::vector<std::uint8_t> luma;  // width × height bytes
};
class TestDecoder {
 public:
  TestDecoder();
  ~TestDecoder();
  TestDecoder(const TestDecoder&) = delete;
  TestDecoder& operator=(const TestDecoder&) = delete;

  // None when the decoder refuses the bytes or has no picture to show for them.
  std::optional<DecodedPicture> decode(const protocol::Bytes& annexB);

 private:
  AVCodecContext* context_;
};

// Mean absolute difference of two luma planes of the same size (255 when sizes differ).
double meanLumaDifference(const DecodedPicture& a, const DecodedPicture& b);

}  // namespace lumora::services::screen::testing
