// The lumora program against the real agent on a headless Wayland desktop, through the real
// portal frontend (the test backend answering for the desktop) and PipeWire.

#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "cli/lumora_runner.h"
#include "support/agent_process.h"
#include "support/h264_test_codec.h"
#include "support/test_pictures.h"
#include "support/wayland_desktop.h"

namespace lumora::cli {
namespace {

using testing_support::AgentProcess;
using testing_support::contentOf;
using testing_support::TempDir;
using testing_support::WaylandDesktop;

// Four quadrants of distinct colours: a picture that shows whether the stream is whole, upright
// and not mirrored.
constexpr std::array<std::uint32_t, 4> kQuadrants = {0xd03030, 0x30b040, 0x3050d0, 0xf0e040};

// Without --backend: a Wayland session whose portal answers is served through it. (A refused
// dialog reported and asked again is DesktopWaylandTest's; the agent serving on when its desktop
// says no, AgentEndToEndTest's, with no display at all.)
TEST(CliWaylandEndToEndTest, SnapshotShowsWhatTheWaylandClientDrew) {
  std::unique_ptr<WaylandDesktop> desktop;
  try {
    desktop = std::make_unique<WaylandDesktop>();
  } catch (const std::exception& e) {
    GTEST_SKIP() << "no Wayland desktop here: " << e.what();
  }
  TempDir home;
  desktop->show(testing_support::writeQuadrantsPNG(home, "quadrants.png", WaylandDesktop::kWidth,
                                                   WaylandDesktop::kHeight, kQuadrants));
  AgentProcess agent(desktop->environment());
  ASSERT_TRUE(agent.serving()) << agent.log();
  const auto lumora = [&](std::vector<std::string> args) {
    return runLumora(home, std::move(args), {"LUMORA_LINK=" + agent.link()});
  };
  Outcome shot = lumora({"snapshot", home / "shot.png"});
  ASSERT_EQ(shot.status, 0) << shot.err << agent.log();
  auto image = testing_support::TestDecoder(testing_support::TestDecoder::Format::png)
                   .decode(protocol::bytesOf(contentOf(home / "shot.png")));
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width, WaylandDesktop::kWidth);
  ASSERT_EQ(image->height, WaylandDesktop::kHeight);
  // The middle of each quadrant, away from the edges the encoder blurs and from the pointer.
  const int w = image->width, h = image->height;
  const int points[4][2] = {
      {w / 4, h / 4}, {3 * w / 4, h / 4}, {w / 4, 3 * h / 4}, {3 * w / 4, 3 * h / 4}};
  for (int i = 0; i < 4; ++i) {
    const testing_support::Rgb seen = image->at(points[i][0], points[i][1]);
    EXPECT_NEAR(seen.r, (kQuadrants[i] >> 16) & 0xFF, 16) << i;
    EXPECT_NEAR(seen.g, (kQuadrants[i] >> 8) & 0xFF, 16) << i;
    EXPECT_NEAR(seen.b, kQuadrants[i] & 0xFF, 16) << i;
  }
  const Outcome displays = lumora({"displays"});
  EXPECT_EQ(displays.status, 0) << displays.err;
  EXPECT_NE(displays.out.find("1280"), std::string::npos) << displays.out;
}

}  // namespace
}  // namespace lumora::cli
