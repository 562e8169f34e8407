#include "services/screen/h264_encoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "support/h264_test_codec.h"

namespace lumora::services::screen {
namespace {

using testing_support::DecodedImage;
using testing_support::movingBox;
using testing_support::noisy;
using testing_support::TestDecoder;

// The NAL units of an Annex B picture as this test reads them, independently of the encoder's
// own parser: every start code must be the 4-byte one.
struct NalLayout {
  std::vector<int> types;
  std::vector<protocol::Bytes> units;
  bool startsWithStartCode = false;
  int shortStartCodes = 0;  // 00 00 01 not preceded by a zero
};

NalLayout nalLayout(const protocol::Bytes& data) {
  NalLayout layout;
  layout.startsWithStartCode =
      data.size() >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1;
  std::size_t unitStart = 0;
  bool inUnit = false;
  auto close = [&](std::size_t end) {
    if (inUnit && end > unitStart) {
      layout.units.emplace_back(data.begin() + unitStart, data.begin() + end);
      layout.types.push_back(data[unitStart] & 0x1f);
    }
  };
  for (std::size_t i = 0; i + 3 <= data.size(); ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const bool fourByte = i >= 1 && data[i - 1] == 0;
    if (!fourByte) ++layout.shortStartCodes;
    close(fourByte ? i - 1 : i);
    unitStart = i + 3;
    inUnit = true;
    i += 2;
  }
  close(data.size());
  return layout;
}

// Keeps what the encoder emits; every picture is checked against the Annex B rules as it comes.
class Received {
 public:
  H264Encoder::Sink sink() {
    return [this](const EncodedVideoFrame& frame) {
      std::lock_guard lock(mutex_);
      frames_.push_back(frame);
    };
  }
  std::vector<EncodedVideoFrame> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  std::size_t size() const { return frames().size(); }
  EncodedVideoFrame last() const { return frames().back(); }

 private:
  mutable std::mutex mutex_;
  std::vector<EncodedVideoFrame> frames_;
};

H264Encoder::Settings smallStream(int fps = 10, int keySeconds = 1) {
  H264Encoder::Settings settings;
  settings.fps = fps;
  settings.keyFrameIntervalSeconds = keySeconds;
  return settings;
}

// The checks every encoded picture must pass.
void expectWellFormed(const EncodedVideoFrame& frame) {
  const auto layout = nalLayout(frame.bytes());
  EXPECT_TRUE(layout.startsWithStartCode) << "frame " << frame.frameID;
  EXPECT_EQ(layout.shortStartCodes, 0) << "frame " << frame.frameID;
  ASSERT_FALSE(layout.types.empty());
  if (frame.isKeyframe) {
    ASSERT_GE(layout.types.size(), 3u);
    EXPECT_EQ(layout.types[0], 7) << "SPS first on key frame " << frame.frameID;
    EXPECT_EQ(layout.types[1], 8) << "then PPS on key frame " << frame.frameID;
    EXPECT_EQ(layout.types[2], 5) << "then the IDR slices on key frame " << frame.frameID;
  } else {
    for (int type : layout.types) EXPECT_EQ(type, 1) << "frame " << frame.frameID;
  }
  for (int type : layout.types) EXPECT_NE(type, 6) << "SEI is left out";
}

TEST(H264EncoderBitRateTest, RecommendedRateScalesWithPixelsWithinItsBounds) {
  EXPECT_EQ(H264Encoder::recommendedBitRate(1920, 1080, 30), 7'464'960);
  EXPECT_EQ(H264Encoder::recommendedBitRate(1280, 720, 30), 3'317'760);
  EXPECT_EQ(H264Encoder::recommendedBitRate(640, 360, 30), 1'000'000) << "floor";
  EXPECT_EQ(H264Encoder::recommendedBitRate(3840, 2160, 30), 25'000'000) << "ceiling";
  EXPECT_EQ(H264Encoder::recommendedBitRate(0, 0, 0), 1'000'000) << "every factor at least 1";
  EXPECT_EQ(H264Encoder::recommendedBitRate(16384, 16384, 1000), 25'000'000) << "no overflow";
  EXPECT_EQ(H264Encoder::recommendedBitRate(1920, 1080, 15), 3'732'480);
}

TEST(H264EncoderBitRateTest, PeakLimitIsAByteBudgetPerSecond) {
  using Limits = std::optional<std::array<double, 2>>;
  EXPECT_EQ(H264Encoder::dataRateLimits(4'000'000, 2.0), (Limits{{1'000'000, 1.0}}));
  EXPECT_EQ(H264Encoder::dataRateLimits(7'464'960, 2.0), (Limits{{1'866'240, 1.0}}));
  EXPECT_EQ(H264Encoder::dataRateLimits(10, 2.0), (Limits{{3, 1.0}})) << "2.5 rounds away from 0";
  EXPECT_EQ(H264Encoder::dataRateLimits(4'000'000, 1.0), std::nullopt);
  EXPECT_EQ(H264Encoder::dataRateLimits(4'000'000, 0.5), std::nullopt);
  EXPECT_EQ(H264Encoder::dataRateLimits(0, 2.0), std::nullopt);
  EXPECT_EQ(H264Encoder::dataRateLimits(-5, 2.0), std::nullopt);
}

TEST(H264EncoderTest, StreamDecodesWithParameterSetsOnEveryKeyFrameAndBoundedKeySpacing) {
  H264Encoder encoder(smallStream(/*fps=*/10, /*keySeconds=*/1));
  Received received;
  encoder.setOnEncoded(received.sink());
  constexpr int kFrames = 35;
  for (int i = 0; i < kFrames; ++i) encoder.encode(movingBox(160, 96, i), 1000 + 33 * i);
  EXPECT_EQ(encoder.encoderName(), "libx264");

  const auto frames = received.frames();
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(kFrames)) << "one picture per frame, at once";
  TestDecoder decoder;
  std::uint64_t lastKey = 0;
  int keyFrames = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const EncodedVideoFrame& frame = frames[i];
    SCOPED_TRACE(i);
    expectWellFormed(frame);
    EXPECT_EQ(frame.frameID, i);
    EXPECT_EQ(frame.presentationTimeMillis, 1000 + 33 * i);
    EXPECT_EQ(frame.width, 160);
    EXPECT_EQ(frame.height, 96);
    if (frame.isKeyframe) {
      ++keyFrames;
      if (i > 0) {
        EXPECT_LE(frame.frameID - lastKey, 10u) << "at most fps × interval apart";
      }
      lastKey = frame.frameID;
      // High profile: profile_idc follows the NAL header byte.
      EXPECT_EQ(nalLayout(frame.bytes()).units[0][1], 100);
    }
    const auto picture = decoder.decode(frame.bytes());
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->width, 160);
    EXPECT_EQ(picture->height, 96);
    EXPECT_EQ(picture->keyFrame, frame.isKeyframe);
  }
  EXPECT_TRUE(frames.front().isKeyframe);
  EXPECT_GE(keyFrames, 4);
  EXPECT_LT(frames.back().frameID - lastKey, 10u) << "the run after the last key frame too";
}

TEST(H264EncoderTest, AKeyFrameComesOnceTheIntervalHasPassedInTimeToo) {
  H264Encoder encoder(smallStream(/*fps=*/30, /*keySeconds=*/1));
  Received received;
  encoder.setOnEncoded(received.sink());
  // An idle screen: few frames, far apart. 30 frames would take 12 s; the clock decides.
  for (int i = 0; i < 8; ++i) encoder.encode(movingBox(64, 48, i), 400 * i);
  std::vector<std::uint64_t> keys;
  for (const auto& frame : received.frames()) {
    if (frame.isKeyframe) keys.push_back(frame.presentationTimeMillis);
  }
  EXPECT_EQ(keys, (std::vector<std::uint64_t>{0, 1200, 2400}));
}

TEST(H264EncoderTest, ASizeChangeRebuildsTheSessionAndStartsWithAKeyFrame) {
  H264Encoder encoder;
  Received received;
  encoder.setOnEncoded(received.sink());
  for (int i = 0; i < 3; ++i) encoder.encode(movingBox(1280, 720, i), 33 * i);
  encoder.encode(movingBox(1920, 1080, 3), 99);
  encoder.encode(movingBox(1920, 1080, 4), 132);
  encoder.encode(movingBox(640, 360, 5), 165);  // smaller rebuilds as well

  const auto frames = received.frames();
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_FALSE(frames[2].isKeyframe);
  const EncodedVideoFrame& first1080 = frames[3];
  EXPECT_TRUE(first1080.isKeyframe);
  EXPECT_EQ(first1080.width, 1920);
  EXPECT_EQ(first1080.height, 1080);
  const std::vector<std::uint8_t> head(first1080.bytes().begin(), first1080.bytes().begin() + 5);
  ASSERT_EQ(head.size(), 5u);
  EXPECT_EQ(head, (std::vector<std::uint8_t>{0, 0, 0, 1, 0x67})) << "start code, then the SPS";
  EXPECT_FALSE(frames[4].isKeyframe);
  EXPECT_TRUE(frames[5].isKeyframe);
  EXPECT_EQ(frames[5].width, 640);

  // A viewer joining at the new key frame decodes at the new size.
  TestDecoder late;
  const auto picture = late.decode(first1080.bytes());
  ASSERT_TRUE(picture.has_value());
  EXPECT_EQ(picture->width, 1920);
  EXPECT_EQ(picture->height, 1080);
  for (const auto& frame : frames) expectWellFormed(frame);
}

TEST(H264EncoderTest, RequestedKeyFramesAndRepeatsOfTheLastPicture) {
  H264Encoder encoder(smallStream());
  Received received;
  encoder.setOnEncoded(received.sink());
  EXPECT_FALSE(encoder.repeatLastPicture(5)) << "nothing to repeat yet";

  for (int i = 0; i < 4; ++i) encoder.encode(movingBox(96, 64, i), 33 * i);
  encoder.requestKeyFrame();
  encoder.encode(movingBox(96, 64, 4), 132);
  encoder.encode(movingBox(96, 64, 5), 165);
  ASSERT_EQ(received.size(), 6u);
  EXPECT_TRUE(received.frames()[4].isKeyframe) << "the request forces the next picture";
  EXPECT_FALSE(received.frames()[5].isKeyframe) << "and only that one";

  // The screen then goes idle: a new viewer asks, and the last picture comes again as IDR.
  encoder.requestKeyFrame();
  ASSERT_TRUE(encoder.repeatLastPicture(5000));
  const EncodedVideoFrame repeat = received.last();
  EXPECT_EQ(repeat.frameID, 6u);
  EXPECT_TRUE(repeat.isKeyframe);
  EXPECT_EQ(repeat.presentationTimeMillis, 5000u);
  expectWellFormed(repeat);

  TestDecoder joined;  // starts at the repeat alone
  const auto picture = joined.decode(repeat.bytes());
  ASSERT_TRUE(picture.has_value());
  TestDecoder reference;
  std::optional<DecodedImage> original;
  for (const auto& frame : received.frames()) {
    if (frame.frameID <= 5) original = reference.decode(frame.bytes());
  }
  ASSERT_TRUE(original.has_value());
  EXPECT_LT(testing_support::meanDifference(*picture, *original), 3.0) << "the same picture";

  ASSERT_TRUE(encoder.repeatLastPicture(5033));
  EXPECT_FALSE(received.last().isKeyframe) << "without a request a repeat is a plain picture";
  EXPECT_TRUE(joined.decode(received.last().bytes()).has_value());

  encoder.finish();
  EXPECT_FALSE(encoder.repeatLastPicture(6000)) << "finish drops the picture with the session";
}

TEST(H264EncoderTest, FrameIDsContinueAcrossFinishAndTimesAreKeptAsGiven) {
  H264Encoder encoder(smallStream());
  Received received;
  encoder.setOnEncoded(received.sink());
  encoder.encode(movingBox(64, 48, 0), 100);
  encoder.encode(movingBox(64, 48, 1), 100);  // same millisecond
  encoder.encode(movingBox(64, 48, 2), 90);   // captured earlier, encoded later
  encoder.finish();
  encoder.finish();  // twice is harmless
  encoder.encode(movingBox(64, 48, 3), 0);
  encoder.encode(movingBox(64, 48, 4), 33);

  const auto frames = received.frames();
  ASSERT_EQ(frames.size(), 5u);
  for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].frameID, i);
  EXPECT_EQ(frames[1].presentationTimeMillis, 100u);
  EXPECT_EQ(frames[2].presentationTimeMillis, 90u);
  EXPECT_TRUE(frames[3].isKeyframe) << "a new session after finish";
  TestDecoder decoder;
  for (const auto& frame : frames) EXPECT_TRUE(decoder.decode(frame.bytes()).has_value());
}

TEST(H264EncoderTest, OddAndTinySizesEncodeAtTheNearestUsableEvenSize) {
  struct Case {
    int width, height, encodedWidth, encodedHeight;
  };
  for (const Case c :
       {Case{1, 1, 2, 2}, Case{3, 5, 2, 4}, Case{161, 97, 160, 96}, Case{1, 40, 2, 40}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    H264Encoder encoder(smallStream());
    Received received;
    encoder.setOnEncoded(received.sink());
    encoder.encode(movingBox(c.width, c.height, 0), 0);
    encoder.encode(movingBox(c.width, c.height, 1), 33);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_FALSE(received.last().isKeyframe) << "the same odd size does not rebuild";
    TestDecoder decoder;
    for (const auto& frame : received.frames()) {
      EXPECT_EQ(frame.width, c.encodedWidth);
      EXPECT_EQ(frame.height, c.encodedHeight);
      const auto picture = decoder.decode(frame.bytes());
      ASSERT_TRUE(picture.has_value());
      EXPECT_EQ(picture->width, c.encodedWidth);
      EXPECT_EQ(picture->height, c.encodedHeight);
    }
  }
}

TEST(H264EncoderTest, FramesItCannotTakeThrowAndTheNextFrameStillEncodes) {
  H264Encoder encoder(smallStream());
  Received received;
  encoder.setOnEncoded(received.sink());
  try {
    encoder.encode(platform::PixelBuffer(), 0);
    ADD_FAILURE() << "an empty frame must throw";
  } catch (const EncoderError& e) {
    EXPECT_EQ(e.kind(), EncoderError::Kind::sessionCreateFailed);
    EXPECT_LT(e.status(), 0);
  }
  EXPECT_THROW(encoder.prepare(0, 10), EncoderError);

  H264Encoder::Settings bad = smallStream();
  bad.preset = "no-such-preset";
  encoder.configure(bad);
  EXPECT_THROW(encoder.encode(movingBox(32, 32, 0), 0), EncoderError);
  encoder.configure(smallStream());
  encoder.encode(movingBox(32, 32, 1), 33);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received.last().frameID, 0u) << "failures spend no frame number";
  EXPECT_TRUE(received.last().isKeyframe);
}

TEST(H264EncoderTest, AverageBitRateIsRoughlyHonouredOnNoisyContent) {
  // Two seconds of speckled frames at two rates; generous bounds, this is not a rate-control
  // benchmark, only proof that the configured rate reaches the codec.
  auto bytesAt = [](int bitRate) {
    H264Encoder::Settings settings = smallStream(/*fps=*/30, /*keySeconds=*/2);
    settings.bitRate = bitRate;
    H264Encoder encoder(settings);
    std::size_t total = 0;
    encoder.setOnEncoded([&](const EncodedVideoFrame& frame) { total += frame.bytes().size(); });
    for (int i = 0; i < 60; ++i) {
      encoder.encode(noisy(320, 240, static_cast<std::uint32_t>(i)), 1000 + 1000 * i / 30);
    }
    encoder.finish();
    return static_cast<double>(total) * 8 / 2.0;  // bits per second
  };
  const double low = bytesAt(300'000);
  const double high = bytesAt(1'200'000);
  EXPECT_GT(low, 300'000 * 0.5);
  EXPECT_LT(low, 300'000 * 1.8);
  EXPECT_GT(high, 1'200'000 * 0.5);
  EXPECT_LT(high, 1'200'000 * 1.8);
  EXPECT_GT(high, 2.5 * low);
}

TEST(H264EncoderTest, EncodeRunsSafelyAlongsideRequestsConfigureRepeatsAndFinish) {
  H264Encoder encoder(smallStream());
  Received received;
  encoder.setOnEncoded(received.sink());
  std::atomic<bool> done = false;
  std::thread other([&] {
    int round = 0;
    while (!done.load()) {
      encoder.requestKeyFrame();
      encoder.configure(smallStream(10 + round % 3));
      if (round % 5 == 0) encoder.finish();
      try {
        encoder.repeatLastPicture(static_cast<std::uint64_t>(100000 + round));
      } catch (const EncoderError&) {
      }
      ++round;
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 60; ++i) encoder.encode(movingBox(64, 48, i), 33 * i);
  done = true;
  other.join();
  encoder.finish();

  const auto frames = received.frames();
  ASSERT_GE(frames.size(), 60u);
  TestDecoder decoder;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].frameID, i) << "the sink sees frames in order, one at a time";
    expectWellFormed(frames[i]);
  }
  // Every session (after a finish) starts with a key frame, so the whole stream decodes.
  for (const auto& frame : frames) EXPECT_TRUE(decoder.decode(frame.bytes()).has_value());
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
  Received received;
  encoder.encode(movingBox(32, 32, 0), 0);
  EXPECT_FALSE(repeated);
  encoder.setOnEncoded(received.sink());
  encoder.encode(movingBox(32, 32, 1), 33);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_TRUE(received.last().isKeyframe) << "the request from inside the sink holds";
}

}  // namespace
}  // namespace lumora::services::screen
