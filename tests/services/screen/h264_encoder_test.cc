#include "services/screen/h264_encoder.h"

#include "services/screen/bit_rate_rules.h"
#include "services/screen/codec_session.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/h264_test_codec.h"
#include "support/recorder.h"

namespace lumora::services::screen {
namespace {

using testing_support::movingBox;
using testing_support::TestDecoder;

H264Encoder::Settings smallStream(int fps = 10, int keySeconds = 1) {
  H264Encoder::Settings settings;
  settings.fps = fps;
  settings.keyFrameIntervalSeconds = keySeconds;
  return settings;
}

// An encoder whose pictures are kept as they come (from whichever thread emits them).
struct Recorded : testing_support::Recorder<EncodedVideoFrame> {
  explicit Recorded(H264Encoder::Settings settings = smallStream()) : encoder(settings) {
    encoder.setOnEncoded(sink());
  }
  H264Encoder encoder;
};

// The NAL unit types of an Annex B picture in order, read independently of the encoder's own
// splitter; a unit behind a 3-byte start code (the encoder must use the 4-byte one) reads as -1.
std::vector<int> nalTypes(const protocol::Bytes& data) {
  if (data.size() < 5 || data[0] != 0 || data[1] != 0 || data[2] != 0 || data[3] != 1) return {-1};
  std::vector<int> types;
  for (std::size_t i = 2; i + 1 < data.size(); ++i) {
    if (data[i - 2] == 0 && data[i - 1] == 0 && data[i] == 1) {
      types.push_back(i >= 3 && data[i - 3] == 0 ? data[i + 1] & 0x1f : -1);
    }
  }
  return types;
}

// A key frame is SPS, PPS, then IDR slices; any other picture is plain slices; no SEI.
void expectWellFormed(const EncodedVideoFrame& frame) {
  SCOPED_TRACE("frame " + std::to_string(frame.frameID));
  const auto types = nalTypes(frame.bytes());
  ASSERT_GE(types.size(), frame.isKeyframe ? 3u : 1u);
  for (std::size_t i = 0; i < types.size(); ++i) {
    EXPECT_EQ(types[i], !frame.isKeyframe ? 1 : i == 0 ? 7 : i == 1 ? 8 : 5) << "unit " << i;
  }
}

// Every picture decodes in order, the first at the size and kind the encoder reports.
void expectDecodes(const std::vector<EncodedVideoFrame>& frames) {
  TestDecoder decoder;
  for (const auto& frame : frames) {
    const auto picture = decoder.decode(frame.bytes());
    ASSERT_TRUE(picture.has_value()) << "frame " << frame.frameID;
    EXPECT_EQ(picture->width, frame.width);
    EXPECT_EQ(picture->height, frame.height);
    EXPECT_EQ(picture->keyFrame, frame.isKeyframe);
  }
}

TEST(H264EncoderBitRateTest, AGivenRateWinsWithItsPeakInBitsAndTheRecommendedOneCannotOverflow) {
  H264Encoder::Settings settings;
  settings.bitRate = 300'000;
  const RateControl given = rateControlFor(settings, 1920, 1080);
  EXPECT_EQ(given.averageBitRate, 300'000);
  EXPECT_EQ(given.peakBitRate, 600'000);
  settings.bitRate = 0;
  EXPECT_EQ(rateControlFor(settings, 1920, 1080).averageBitRate, 7'464'960);
  EXPECT_EQ(H264Encoder::recommendedBitRate(16384, 16384, 1000), 25'000'000) << "ceiling";
}

TEST(H264EncoderTest, StreamDecodesWithParameterSetsOnEveryKeyFrameAndBoundedKeySpacing) {
  Recorded stream(smallStream(/*fps=*/10, /*keySeconds=*/1));
  constexpr int kFrames = 35;
  for (int i = 0; i < kFrames; ++i) stream.encoder.encode(movingBox(160, 96, i), 1000 + 33 * i);

  const auto frames = stream.items();
  ASSERT_EQ(frames.size(), std::size_t{kFrames}) << "one picture per frame, at once";
  std::vector<std::uint64_t> keys;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    expectWellFormed(frames[i]);
    EXPECT_EQ(frames[i].frameID, i);
    if (!frames[i].isKeyframe) continue;
    EXPECT_EQ(frames[i].bytes()[5], 100) << "High profile: profile_idc follows the SPS header";
    EXPECT_LE(i - (keys.empty() ? 0 : keys.back()), 10u) << "at most fps × interval apart";
    keys.push_back(i);
  }
  ASSERT_GE(keys.size(), 4u);
  EXPECT_EQ(keys.front(), 0u);
  EXPECT_LT(frames.size() - 1 - keys.back(), 10u) << "the run after the last key frame too";
  expectDecodes(frames);
}

TEST(H264EncoderTest, ParameterSetsTheCodecKeepsOutOfBandStillLeadEveryKeyFrame) {
  // As some hardware encoders do: x264 asked for a global header writes no SPS or PPS into its
  // packets.
  const H264Encoder::SessionOpener withholding = [](const H264Encoder::Settings& settings,
                                                    int width, int height) {
    return CodecSession::openSoftware(settings, width, height,
                                      CodecSession::ParameterSets::outOfBand);
  };
  EXPECT_EQ(withholding(smallStream(), 160, 96)->outOfBandParameterSets().size(), 2u);
  H264Encoder encoder(smallStream(/*fps=*/10, /*keySeconds=*/1), withholding);
  testing_support::Recorder<EncodedVideoFrame> received;
  encoder.setOnEncoded(received.sink());
  for (int i = 0; i < 25; ++i) encoder.encode(movingBox(160, 96, i), 1000 + 100 * i);
  const auto frames = received.items();
  ASSERT_EQ(frames.size(), 25u);
  EXPECT_GE(std::count_if(frames.begin(), frames.end(),
                          [](const EncodedVideoFrame& frame) { return frame.isKeyframe; }),
            2);
  for (const auto& frame : frames) expectWellFormed(frame);
}

TEST(H264EncoderTest, ASizeChangeRebuildsTheSessionAndStartsWithAKeyFrame) {
  Recorded stream(H264Encoder::Settings{});
  for (int i = 0; i < 3; ++i) stream.encoder.encode(movingBox(1280, 720, i), 33 * i);
  stream.encoder.encode(movingBox(1920, 1080, 3), 99);
  stream.encoder.encode(movingBox(1920, 1080, 4), 132);

  const auto frames = stream.items();
  ASSERT_EQ(frames.size(), 5u);
  std::vector<bool> keys;
  for (const auto& frame : frames) keys.push_back(frame.isKeyframe);
  EXPECT_EQ(keys, (std::vector<bool>{true, false, false, true, false}));
  EXPECT_EQ(std::make_pair(frames[3].width, frames[3].height), std::make_pair(1920, 1080));
  // A viewer joining at the new key frame decodes at the new size.
  expectDecodes({frames[3], frames[4]});
}

TEST(H264EncoderTest, RequestedKeyFramesAndRepeatsOfTheLastPicture) {
  Recorded stream;
  EXPECT_FALSE(stream.encoder.repeatLastPicture(5)) << "nothing to repeat yet";

  for (int i = 0; i < 4; ++i) stream.encoder.encode(movingBox(96, 64, i), 33 * i);
  stream.encoder.requestKeyFrame();
  stream.encoder.encode(movingBox(96, 64, 4), 132);
  stream.encoder.encode(movingBox(96, 64, 5), 165);
  const auto frames = stream.items();
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_TRUE(frames[4].isKeyframe) << "the request forces the next picture";
  EXPECT_FALSE(frames[5].isKeyframe) << "and only that one";

  // The screen then goes idle: a new viewer asks, and the last picture comes again as IDR.
  stream.encoder.requestKeyFrame();
  ASSERT_TRUE(stream.encoder.repeatLastPicture(5000));
  const EncodedVideoFrame repeat = stream.last();
  EXPECT_EQ(repeat.frameID, 6u);
  EXPECT_TRUE(repeat.isKeyframe);
  EXPECT_EQ(repeat.presentationTimeMillis, 5000u);

  TestDecoder joined;  // starts at the repeat alone
  const auto picture = joined.decode(repeat.bytes());
  ASSERT_TRUE(picture.has_value());
  TestDecoder reference;
  std::optional<testing_support::DecodedImage> original;
  for (const auto& frame : frames) original = reference.decode(frame.bytes());
  ASSERT_TRUE(original.has_value());
  EXPECT_LT(testing_support::meanDifference(*picture, *original), 3.0) << "the same picture";

  ASSERT_TRUE(stream.encoder.repeatLastPicture(5033));
  EXPECT_FALSE(stream.last().isKeyframe) << "without a request a repeat is a plain picture";
  EXPECT_TRUE(joined.decode(stream.last().bytes()).has_value());

  stream.encoder.finish();
  EXPECT_FALSE(stream.encoder.repeatLastPicture(6000))
      << "finish drops the picture with the session";
  stream.encoder.encode(movingBox(96, 64, 8), 0);
  EXPECT_TRUE(stream.last().isKeyframe) << "a new session after finish";
  const auto all = stream.items();
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].frameID, i) << "across finish";
  expectDecodes(all);
}

TEST(H264EncoderTest, TheSinkMayAskForKeyFramesButCannotDeadlockOnARepeat) {
  H264Encoder encoder(smallStream());
  bool repeated = true;
  encoder.setOnEncoded([&](const EncodedVideoFrame& frame) {
    if (frame.frameID == 0) {
      encoder.requestKeyFrame();
      encoder.configure(smallStream());
      repeated = encoder.repeatLastPicture(1);
    }
  });
  encoder.encode(movingBox(32, 32, 0), 0);
  EXPECT_FALSE(repeated);
  std::vector<EncodedVideoFrame> next;
  encoder.setOnEncoded([&](const EncodedVideoFrame& frame) { next.push_back(frame); });
  encoder.encode(movingBox(32, 32, 1), 33);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_TRUE(next[0].isKeyframe) << "the request from inside the sink holds";
}

}  // namespace
}  // namespace lumora::services::screen
