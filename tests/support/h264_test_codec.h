#pragma once

// Pictures and decoders for the tests of the encoder and the programs that produce images, all
// through libavcodec: independent of the code under test.

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/pixel_buffer.h"
#include "protocol/bytes.h"

struct AVCodecContext;

namespace lumora::testing_support {

// BGRA test pictures: a diagonal gradient with a 16-pixel box whose position follows `step`.
platform::PixelBuffer movingBox(int width, int height, int step);

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
};

// A decoded picture as packed RGB.
struct DecodedImage {
  int width = 0;
  int height = 0;
  bool keyFrame = false;
  std::vector<std::uint8_t> rgb;

  Rgb at(int x, int y) const;
};

// Mean absolute difference of two pictures' samples (255 when their sizes differ).
double meanDifference(const DecodedImage& a, const DecodedImage& b);

// libavcodec's decoder for H.264 Annex B pictures, PNG or binary PPM files, one picture in, one
// out.
class TestDecoder {
 public:
  enum class Format { h264, png, ppm };
  explicit TestDecoder(Format format = Format::h264);
  ~TestDecoder();
  TestDecoder(const TestDecoder&) = delete;
  TestDecoder& operator=(const TestDecoder&) = delete;

  // None when the decoder refuses the bytes or has no picture to show for them.
  std::optional<DecodedImage> decode(protocol::ByteView bytes);

 private:
  AVCodecContext* context_ = nullptr;
};

}  // namespace lumora::testing_support
