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
using testing_support::WaylandDesktopOptions;

// Four quadrants of distinct colours: a picture that shows whether the stream is whole, upright
// and not mirrored.
constexpr std::array<std::uint32_t, 4> kQuadrants = {0xd03030, 0x30b040, 0x3050d0, 0xf0e040};

// The agent on a Wayland desktop that shows four coloured quadrants, started with `arguments`.
struct Desk {
  Desk(WaylandDesktopOptions options, std::vector<std::string> arguments) {
    try {
      desktop = std::make_unique<WaylandDesktop>(options);
    } catch (const std::exception& e) {
      why = e.what();
      return;
    }
    desktop->show(testing_support::writeQuadrantsPNG(
        pictures, "quadrants.png", WaylandDesktop::kWidth, WaylandDesktop::kHeight, kQuadrants));
    auto environment = desktop->environment();
    agent = std::make_unique<AgentProcess>(environment, arguments);
  }
  TempDir pictures;
  std::unique_ptr<WaylandDesktop> desktop;
  std::unique_ptr<AgentProcess> agent;
  std::string why;
};

#define START_DESK(name, options, arguments)                                  \
  Desk name(options, arguments);                                              \
  if (!name.desktop) GTEST_SKIP() << "no Wayland desktop here: " << name.why; \
  ASSERT_TRUE(name.agent->serving()) << name.agent->log()

Outcome lumora(const Desk& desk, const TempDir& home, std::vector<std::string> args) {
  return runLumora(home, std::move(args), {"LUMORA_LINK=" + desk.agent->link()});
}

TEST(CliWaylandEndToEndTest, SnapshotShowsWhatTheWaylandClientDrew) {
  // Without --backend: a Wayland session whose portal answers is served through it.
  START_DESK(desk, {}, {});
  TempDir home;
  Outcome shot = lumora(desk, home, {"snapshot", home / "shot.png"});
  ASSERT_EQ(shot.status, 0) << shot.err << desk.agent->log();
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
  const Outcome displays = lumora(desk, home, {"displays"});
  EXPECT_EQ(displays.status, 0) << displays.err;
  EXPECT_NE(displays.out.find("1280"), std::string::npos) << displays.out;
}

TEST(CliWaylandEndToEndTest, ARefusedDialogLeavesFilesAndTerminalsServingAndSaysWhy) {
  START_DESK(desk, {.consent = WaylandDesktopOptions::Consent::refuse},
             (std::vector<std::string>{"--backend", "wayland"}));
  TempDir home;
  const Outcome run = lumora(desk, home, {"run", "--shell", "/bin/sh", "echo still here"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "still here\n");
  expectOneLine(lumora(desk, home, {"snapshot", home / "shot.png"}), 1, "did not allow");
}

}  // namespace
}  // namespace lumora::cli
