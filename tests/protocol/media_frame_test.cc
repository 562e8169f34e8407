#include "protocol/media_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/frame_codec.h"

namespace lumora::protocol {
namespace {

using ::testing::HasSubstr;

MediaFrame keyFrame(std::uint64_t id, Bytes payload) {
  ScreenFrameMeta meta{
      id, 1920, 1080, VideoCodec::h264, true, static_cast<std::int64_t>(payload.size()), 1000 + id};
  return {meta, std::move(payload)};
}

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

TEST(MediaFrameTest, LayoutIsHeaderLengthHeaderPayloadLengthPayload) {
  MediaFrame frame = keyFrame(7, {0, 0, 0, 1, 0x67});
  Bytes wire = MediaFrameCodec::encode(frame);
  std::uint32_t m = FrameCodec::readLength(wire.data());
  std::string header(wire.begin() + 4, wire.begin() + 4 + m);
  EXPECT_EQ(header, R"({"frameID":7,"width":1920,"height":1080,"codec":"h264","isKeyframe":true,)"
                    R"("byteCount":5,"presentationTimeMillis":1007})");
  EXPECT_EQ(FrameCodec::readLength(wire.data() + 4 + m), 5u);
  EXPECT_EQ(wire.size(), 8 + m + 5);
}

TEST(MediaFrameDecoderTest, DeliversEachFrameOnceWhateverTheSplit) {
  MediaFrame empty = keyFrame(1, {});
  MediaFrameDecoder decoder;
  Bytes wire = MediaFrameCodec::encode(empty);
  for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
    EXPECT_TRUE(decoder.push(ByteView(&wire[i], 1)).empty());
  }
  auto frames = decoder.push(ByteView(&wire.back(), 1));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], empty);
  EXPECT_EQ(frames[0].meta.byteCount, 0);

  Bytes stream = MediaFrameCodec::encode(keyFrame(2, Bytes(100, 2)));
  Bytes second = MediaFrameCodec::encode(keyFrame(3, Bytes(50, 3)));
  Bytes third = MediaFrameCodec::encode(keyFrame(4, Bytes(5000, 4)));
  stream.insert(stream.end(), second.begin(), second.end());
  stream.insert(stream.end(), third.begin(), third.begin() + 2600);
  frames = decoder.push(stream);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].meta.frameID, 3u);
  frames = decoder.push(ByteView(third).subspan(2600));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], keyFrame(4, Bytes(5000, 4)));
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
  EXPECT_TRUE(small.push(MediaFrameCodec::encode(keyFrame(1, Bytes(17)))).empty());
  EXPECT_TRUE(small.failed());
  EXPECT_THAT(small.failure(), HasSubstr("payload"));
  EXPECT_TRUE(small.push(MediaFrameCodec::encode(keyFrame(2, Bytes(1)))).empty());

  MediaFrameDecoder decoder;
  EXPECT_TRUE(decoder.push(Bytes{0x00, 0x01, 0x00, 0x01}).empty());  // 64 KiB + 1 header
  EXPECT_TRUE(decoder.failed());
  EXPECT_THAT(decoder.failure(), HasSubstr("header"));
}

}  // namespace
}  // namespace lumora::protocol
