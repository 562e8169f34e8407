#include "protocol/media_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/frame_codec.h"
#include "support/media_frames.h"

namespace lumora::protocol {
namespace {

using ::testing::HasSubstr;
using testing_support::testFrame;

// A frame laid out by hand, with any header text.
Bytes rawFrame(std::string_view header, const Bytes& payload) {
  Bytes out(4);
  FrameCodec::writeLength(static_cast<std::uint32_t>(header.size()), out.data());
  out.insert(out.end(), header.begin(), header.end());
  Bytes length(4);
  FrameCodec::writeLength(static_cast<std::uint32_t>(payload.size()), length.data());
  out.insert(out.end(), length.begin(), length.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

TEST(MediaFrameDecoderTest, DeliversEachFrameOnceWhateverTheSplit) {
  MediaFrame empty = testFrame(1, true, 0);
  MediaFrameDecoder decoder;
  Bytes wire = MediaFrameCodec::encode(empty);
  for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
    EXPECT_TRUE(decoder.push(ByteView(&wire[i], 1)).empty());
  }
  auto frames = decoder.push(ByteView(&wire.back(), 1));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], empty);
  EXPECT_EQ(frames[0].meta.byteCount, 0);

  Bytes stream = MediaFrameCodec::encode(testFrame(2, true, 100));
  Bytes second = MediaFrameCodec::encode(testFrame(3, true, 50));
  Bytes third = MediaFrameCodec::encode(testFrame(4, true, 5000));
  stream.insert(stream.end(), second.begin(), second.end());
  stream.insert(stream.end(), third.begin(), third.begin() + 2600);
  frames = decoder.push(stream);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].meta.frameID, 3u);
  frames = decoder.push(ByteView(third).subspan(2600));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], testFrame(4, true, 5000));
}

// The next frame's header keys come in any order.
TEST(MediaFrameDecoderTest, SkipsAFrameWhoseHeaderDoesNotDecodeAndCarriesOn) {
  MediaFrameDecoder decoder;
  Bytes stream = rawFrame(R"({"frameID":"x"})", Bytes(10, 1));
  Bytes good =
      rawFrame(R"({"presentationTimeMillis":5,"byteCount":1,"isKeyframe":false,"codec":"h264",)"
               R"("height":2,"width":3,"frameID":9})",
               {0xaa});
  stream.insert(stream.end(), good.begin(), good.end());
  auto frames = decoder.push(stream);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].meta, (ScreenFrameMeta{9, 3, 2, VideoCodec::h264, false, 1, 5}));
  EXPECT_EQ(decoder.skippedFrameCount(), 1u);
  EXPECT_THAT(decoder.lastSkipReason(), HasSubstr("frameID"));
  EXPECT_FALSE(decoder.failed());
}

TEST(MediaFrameDecoderTest, LengthsBeyondTheLimitsFailTheStream) {
  MediaFrameDecoder small(/*maxPayloadLength=*/16);
  EXPECT_TRUE(small.push(MediaFrameCodec::encode(testFrame(1, true, 17))).empty());
  EXPECT_TRUE(small.failed());
  EXPECT_THAT(small.failure(), HasSubstr("payload"));
  EXPECT_TRUE(small.push(MediaFrameCodec::encode(testFrame(2, true, 1))).empty());

  MediaFrameDecoder decoder;
  EXPECT_TRUE(decoder.push(Bytes{0x00, 0x01, 0x00, 0x01}).empty());  // 64 KiB + 1 header
  EXPECT_TRUE(decoder.failed());
  EXPECT_THAT(decoder.failure(), HasSubstr("header"));
}

}  // namespace
}  // namespace lumora::protocol
