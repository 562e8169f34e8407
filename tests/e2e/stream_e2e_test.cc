// The screen stream end to end: lumora-agent on a private Xvfb, a client built on the client
// library that pairs, takes a media ticket, starts the stream and decodes what arrives.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "sdk/agent_control_client.h"
#include "sdk/media_client.h"
#include "sdk/video_decoder.h"
#include "support/agent_process.h"
#include "support/test_x_client.h"
#include "support/xvfb_server.h"

namespace lumora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Colour {
  int red, green, blue;
};

// The BGRA pixel at a quarter of the way in (away from the centre, where the pointer is drawn
// in), within a codec's rounding of `expected`.
void expectColour(const sdk::DecodedPicture& picture, Colour expected) {
  const std::size_t at =
      static_cast<std::size_t>(picture.height / 4) * static_cast<std::size_t>(picture.bytesPerRow) +
      static_cast<std::size_t>(picture.width / 4) * 4;
  ASSERT_LT(at + 2, picture.pixels.size());
  EXPECT_NEAR(picture.pixels[at + 2], expected.red, 12);
  EXPECT_NEAR(picture.pixels[at + 1], expected.green, 12);
  EXPECT_NEAR(picture.pixels[at + 0], expected.blue, 12);
}

class StreamEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(agent_.serving()) << agent_.log();
    client_.connect("127.0.0.1", agent_.controlPort()).get();
    client_.authenticate(agent_.secret().code(), "stream-e2e").get();
  }

  // Decodes frames until one picture comes out; none if nothing decodable arrives in time.
  std::optional<sdk::DecodedPicture> nextPicture(sdk::Stream<protocol::MediaFrame>& frames,
                                                 sdk::VideoDecoder& decoder) {
    std::optional<sdk::DecodedPicture> picture;
    decoder.setOnDecoded([&](const sdk::DecodedPicture& p, std::uint64_t) { picture = p; });
    const auto deadline = Clock::now() + 10s;
    while (!picture && Clock::now() < deadline) {
      auto frame = frames.next(deadline - Clock::now());
      if (!frame) break;
      received_.push_back(frame->meta);
      decoder.decode(frame->payload, frame->meta.frameID);
    }
    return picture;
  }

  testing_support::XvfbServer xvfb_{"640x480x24"};
  testing_support::TestXClient painter_{xvfb_.display()};
  testing_support::AgentProcess agent_{{"DISPLAY=" + xvfb_.display()}};
  sdk::AgentControlClient client_;
  std::vector<protocol::ScreenFrameMeta> received_;
};

TEST_F(StreamEndToEndTest, APairedClientReceivesTheLiveScreenUntilItStops) {
  const xcb_window_t window = painter_.openWindow(0, 0, 640, 480, 0x3366cc);
  painter_.fill(window, 0x3366cc, 0, 0, 640, 480);
  painter_.sync();

  const std::string ticket = client_.requestMediaTicket().get();
  sdk::MediaClient media;
  auto frames = media.connect("127.0.0.1", agent_.mediaPort(), ticket).get();
  client_.startStream(std::nullopt, std::nullopt, protocol::VideoCodec::hevc).get();

  sdk::VideoDecoder decoder;
  auto first = nextPicture(frames, decoder);
  ASSERT_TRUE(first) << agent_.log();
  ASSERT_FALSE(received_.empty());
  EXPECT_TRUE(received_.front().isKeyframe) << "a receiver starts at a key frame";
  EXPECT_EQ(received_.front().codec, protocol::VideoCodec::h264) << "asked for hevc, gets H.264";
  EXPECT_EQ(received_.front().width, 640);
  EXPECT_EQ(received_.front().height, 480);
  EXPECT_EQ(first->width, 640);
  EXPECT_EQ(first->height, 480);
  expectColour(*first, {0x33, 0x66, 0xcc});

  // A viewer that joins the idle screen (nothing has moved for a while) still gets a key frame
  // at once, made for it.
  std::this_thread::sleep_for(500ms);
  received_.clear();
  sdk::MediaClient second;
  auto secondFrames =
      second.connect("127.0.0.1", agent_.mediaPort(), client_.requestMediaTicket().get()).get();
  sdk::VideoDecoder secondDecoder;
  auto joined = nextPicture(secondFrames, secondDecoder);
  ASSERT_TRUE(joined) << agent_.log();
  EXPECT_TRUE(received_.front().isKeyframe);
  expectColour(*joined, {0x33, 0x66, 0xcc});

  // The connection outlives the stream, for the next one. (That nothing flows after the stop is
  // stream_coordinator_test's.)
  client_.stopStream().get();
  while (frames.next(300ms)) {
  }
  EXPECT_FALSE(frames.ended());

  // The same ticket does not open a second connection.
  sdk::MediaClient again;
  auto refused = again.connect("127.0.0.1", agent_.mediaPort(), ticket).get();
  EXPECT_FALSE(refused.next(5s));
  EXPECT_TRUE(refused.ended());
}

}  // namespace
}  // namespace lumora
