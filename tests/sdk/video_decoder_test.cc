#include "sdk/video_decoder.h"

#include <gtest/gtest.h>


#include "services/screen/h264_encoder.h"
#include "support/h264_test_codec.h"

namespace lumora::sdk {
namespace {

using protocol::Bytes;
using testing_support::Rgb;

constexpr Rgb kRed{230, 20, 20};
constexpr Rgb kBlue{20, 20, 230};
constexpr Rgb kGreen{20, 200, 20};

// The agent's own encoder, one access unit per picture: each picture's left half is one
// colour, its right half another.
class TestEncoder {
 public:
  TestEncoder(int width, int height) : width_(width), height_(height) {
    encoder_.setOnEncoded([this](const auto& frame) { unit_ = frame.bytes(); });
  }
  Bytes encode(Rgb left, Rgb right, bool keyFrame = false) {
    auto picture = *platform::PixelBuffer::allocate(width_, height_);
    for (int y = 0; y < height_; ++y) {
      for (int x = 0; x < width_; ++x) {
        const Rgb& colour = x < width_ / 2 ? left : right;
        const std::uint8_t bgra[] = {colour.b, colour.g, colour.r, 255};
        std::copy_n(bgra, 4, picture.mutableData() + picture.stride() * y + x * 4);
      }
    }
    if (keyFrame) encoder_.requestKeyFrame();
    encoder_.encode(picture, 33 * frames_++);
    return unit_;
  }

 private:
  int width_, height_;
  std::uint64_t frames_ = 0;
  Bytes unit_;
  services::screen::H264Encoder encoder_;
};

struct Decoded {
  int width;
  int height;
  std::uint64_t frameID;
  // BGRA samples at a quarter and at three quarters of the width, in the middle row.
  std::array<std::uint8_t, 4> left;
  std::array<std::uint8_t, 4> right;
};

class VideoDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    decoder_.setOnDecoded([this](const DecodedPicture& picture, std::uint64_t frameID) {
      ASSERT_EQ(picture.bytesPerRow, picture.width * 4);
      ASSERT_EQ(picture.pixels.size(),
                static_cast<std::size_t>(picture.bytesPerRow * picture.height));
      auto sample = [&](int x) {
        const std::uint8_t* p = &picture.pixels[static_cast<std::size_t>(
            picture.height / 2 * picture.bytesPerRow + x * 4)];
        return std::array<std::uint8_t, 4>{p[0], p[1], p[2], p[3]};
      };
      decoded_.push_back({picture.width, picture.height, frameID, sample(picture.width / 4),
                          sample(picture.width * 3 / 4)});
    });
  }

  static void expectColour(const std::array<std::uint8_t, 4>& bgra, Rgb expected) {
    EXPECT_NEAR(bgra[2], expected.r, 24);
    EXPECT_NEAR(bgra[1], expected.g, 24);
    EXPECT_NEAR(bgra[0], expected.b, 24);
  }

  VideoDecoder decoder_;
  std::vector<Decoded> decoded_;
};

// Pictures decode in their colours (the live screen's too: cli_e2e_test's snapshot), opaque, with
// the frame ID they were handed in with.
TEST_F(VideoDecoderTest, KeepsTheSessionForRepeatedParameterSetsAndRebuildsForNewOnes) {
  TestEncoder small(128, 96);
  decoder_.decode(small.encode(kRed, kBlue), 1);
  decoder_.decode(small.encode(kRed, kBlue), 2);
  decoder_.decode(small.encode(kBlue, kRed, /*keyFrame=*/true), 3);
  EXPECT_EQ(decoder_.sessionBuildCount(), 1u);
  ASSERT_EQ(decoded_.size(), 3u);
  expectColour(decoded_[1].left, kRed);
  expectColour(decoded_[1].right, kBlue);
  EXPECT_EQ(decoded_[1].left[3], 255);
  EXPECT_EQ(decoded_[1].frameID, 2u);

  // A width the scaler's blocks do not divide: it stores whole blocks past the end of a row, so
  // under AddressSanitizer a picture buffer without room for that fails here.
  TestEncoder large(1080, 608);
  decoder_.decode(large.encode(kGreen, kRed), 4);
  EXPECT_EQ(decoder_.sessionBuildCount(), 2u);
  ASSERT_EQ(decoded_.size(), 4u);
  EXPECT_EQ(decoded_[2].width, 128);
  expectColour(decoded_[2].left, kBlue);
  EXPECT_EQ(decoded_[3].width, 1080);
  EXPECT_EQ(decoded_[3].height, 608);
  expectColour(decoded_[3].left, kGreen);
  expectColour(decoded_[3].right, kRed);
}

TEST_F(VideoDecoderTest, GarbageIsReportedAndTheNextKeyFrameRecovers) {
  TestEncoder encoder(64, 48);
  Bytes key = encoder.encode(kRed, kBlue);
  Bytes delta = encoder.encode(kBlue, kRed);
  auto kindOf = [&](const Bytes& unit) {
    try {
      decoder_.decode(unit, 99);
    } catch (const DecoderError& error) {
      return std::optional(error.kind());
    }
    return std::optional<DecoderError::Kind>();
  };
  // Before any key frame, a delta frame has no parameter sets.
  EXPECT_EQ(kindOf(delta), DecoderError::Kind::missingParameterSets);
  // Parameter sets too short to describe anything.
  EXPECT_EQ(kindOf({0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 1, 0x65, 0x88}),
            DecoderError::Kind::formatDescriptionFailed);
  // Parameter sets of the right shape but nonsense content, with a slice: refused one way or
  // the other, never decoded.
  EXPECT_TRUE(
      kindOf({0, 0,    0,    1,    0x67, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,
              1, 0x68, 0xFF, 0xFF, 0xFF, 0,    0,    0,    1,    0x65, 0x88, 0x84, 0x21, 0xA0})
          .has_value());
  // Bytes without a start code decode nothing, and fail nothing.
  EXPECT_EQ(kindOf({0x13, 0x37, 0x42}), std::nullopt);

  decoder_.decode(key, 1);
  decoder_.decode(delta, 2);
  ASSERT_EQ(decoded_.size(), 2u);
  Bytes slice = {0, 0, 0, 1, 0x65};
  for (int i = 0; i < 64; ++i) slice.push_back(static_cast<std::uint8_t>(i * 37 + 11));
  EXPECT_EQ(kindOf(slice), DecoderError::Kind::decodeFailed);
  decoder_.decode(encoder.encode(kGreen, kGreen, /*keyFrame=*/true), 3);
  ASSERT_EQ(decoded_.size(), 3u);
  expectColour(decoded_[2].right, kGreen);
}

}  // namespace
}  // namespace lumora::sdk
