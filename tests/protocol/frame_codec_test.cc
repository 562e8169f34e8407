#include "protocol/frame_codec.h"

#include <gtest/gtest.h>

#include <random>

namespace lumora::protocol {
namespace {

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

TEST(FrameCodecTest, PrefixIsTheBigEndianBodyLength) {
  Bytes body(300, 0xab);
  Bytes frame = FrameCodec::encode(body);
  ASSERT_EQ(frame.size(), 304u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), (Bytes{0x00, 0x00, 0x01, 0x2c}));
  EXPECT_EQ(Bytes(frame.begin() + 4, frame.end()), body);
  EXPECT_EQ(FrameCodec::encode({}), (Bytes{0, 0, 0, 0}));
}

// Bodies of every size from empty up, cut anywhere: single bytes, mid-prefix, several frames in
// one piece.
TEST(FrameDecoderTest, RandomSplitsYieldTheSameBodies) {
  std::mt19937 random(20261205);
  std::vector<Bytes> sent;
  Bytes stream;
  for (int i = 0; i < 200; ++i) {
    Bytes body(i % 50 == 0 ? 0 : random() % 700);
    for (auto& b : body) b = static_cast<std::uint8_t>(random());
    Bytes frame = FrameCodec::encode(body);
    stream.insert(stream.end(), frame.begin(), frame.end());
    sent.push_back(std::move(body));
  }
  FrameDecoder decoder;
  std::vector<Bytes> received;
  for (std::size_t at = 0; at < stream.size();) {
    std::size_t piece = std::min<std::size_t>(at % 3 == 0 ? 1 : random() % 900, stream.size() - at);
    for (auto& body : decoder.push(ByteView(stream).subspan(at, piece))) {
      received.push_back(std::move(body));
    }
    at += piece;
  }
  EXPECT_EQ(received, sent);
  EXPECT_FALSE(decoder.failed());
  EXPECT_EQ(decoder.bufferedByteCount(), 0u);
  EXPECT_TRUE(decoder.push(Bytes{0, 0, 0}).empty());
  EXPECT_EQ(decoder.bufferedByteCount(), 3u);
}

TEST(FrameDecoderTest, OversizedPrefixFailsWithoutBufferingTheBody) {
  FrameDecoder decoder(1024);
  // Exactly the limit is fine.
  auto bodies = decoder.push(FrameCodec::encode(Bytes(1024, 1)));
  ASSERT_EQ(bodies.size(), 1u);

  // A good frame ahead of the bad prefix in the same chunk is still delivered.
  Bytes stream =
      concat({FrameCodec::encode(bytesOf("ok")), Bytes{0x00, 0x00, 0x04, 0x01}, Bytes(100, 0)});
  bodies = decoder.push(stream);
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(bodies[0], bytesOf("ok"));
  EXPECT_TRUE(decoder.failed());
  EXPECT_NE(decoder.failure().find("1025"), std::string::npos) << decoder.failure();
  EXPECT_EQ(decoder.bufferedByteCount(), 0u);

  // Once failed, nothing more is taken in.
  EXPECT_TRUE(decoder.push(FrameCodec::encode(bytesOf("late"))).empty());
  EXPECT_EQ(decoder.bufferedByteCount(), 0u);
}

}  // namespace
}  // namespace lumora::protocol
