#include "services/screen/screen_streamer.h"

#include "fakes/fake_frame_source.h"
#include "support/h264_test_codec.h"
#include "support/recorder.h"

#include <gtest/gtest.h>

namespace lumora::services::screen {
namespace {

using testing_support::movingBox;

class ScreenStreamerTest : public ::testing::Test {
 protected:
  ScreenStreamer::Sink sink() { return received_.sink(); }
  std::vector<EncodedVideoFrame> frames() { return received_.items(); }
  static H264Encoder::Settings settings(std::optional<int> bitRate = std::nullopt) {
    H264Encoder::Settings s;
    s.bitRate = bitRate;
    s.fps = 10;
    return s;
  }

  std::shared_ptr<fakes::FakeFrameSource> source_ = std::make_shared<fakes::FakeFrameSource>();
  testing_support::Recorder<EncodedVideoFrame> received_;
};

TEST_F(ScreenStreamerTest, StreamsEveryFrameFromStartToStop) {
  source_->frames = {{movingBox(64, 48, 0), 10}, {movingBox(64, 48, 1), 43}};
  ScreenStreamer streamer(source_);

  // The sink holds what it delivers to (connections, in the agent): stop must let go of it.
  auto held = std::make_shared<int>(0);
  ScreenStreamer::Sink holding = [held, inner = sink()](const EncodedVideoFrame& frame) {
    ++*held;
    inner(frame);
  };
  streamer.start(settings(), std::move(holding));
  source_->emit(platform::PixelBuffer(), 50);  // the encoder refuses it; the stream goes on
  source_->emit(movingBox(64, 48, 2), 76);
  streamer.start(settings(5'000'000), sink());  // running: ignored
  streamer.stop();

  EXPECT_EQ(source_->starts, 1) << "a second start does nothing";
  EXPECT_EQ(source_->stops, 1);
  EXPECT_FALSE(streamer.isRunning());

  const auto got = frames();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(got[0].isKeyframe);
  EXPECT_EQ(got[2].presentationTimeMillis, 76u);

  EXPECT_EQ(*held, 3);
  EXPECT_EQ(held.use_count(), 1) << "the sink is let go at stop";
  source_->emit(movingBox(64, 48, 3), 109);
  EXPECT_EQ(frames().size(), 3u);

  streamer.start(settings(), sink());
  ASSERT_EQ(frames().size(), 5u);
  EXPECT_TRUE(frames()[3].isKeyframe) << "each start begins a new session";
}

}  // namespace
}  // namespace lumora::services::screen
