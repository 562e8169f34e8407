// A receiver of a live screen stream that stops reading for ten seconds. The agent must not
// hoard frames for it and must bring it back in at a key frame, since what it missed cannot be
// decoded without one. (That the other receivers lose nothing meanwhile is media_server_test's
// AReceiverThatFallsBehindAsksForAKeyFrameWithoutHoldingUpTheOthers.)

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sdk/agent_control_client.h"
#include "support/agent_process.h"
#include "support/process_table.h"
#include "support/raw_client.h"
#include "support/screen_animator.h"
#include "support/xvfb_server.h"

namespace lumora::load {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using protocol::ScreenFrameMeta;
using testing_support::residentBytes;

TEST(SlowMediaReceiverTest, AReceiverThatStopsReadingCostsNoMemoryAndResumesAtAKeyFrame) {
  testing_support::XvfbServer xvfb("1600x900x24");
  testing_support::ScreenAnimator animator(xvfb.display(),
                                           testing_support::ScreenAnimator::noise());
  testing_support::AgentProcess agent({"DISPLAY=" + xvfb.display()});
  ASSERT_TRUE(agent.serving()) << agent.log();

  sdk::AgentControlClient control;
  control.connect("127.0.0.1", agent.controlPort()).get();
  control.authenticate(agent.secret().code(), "load-e2e").get();
  testing_support::RawClient slow(agent.mediaPort(), 4096);
  slow.sendTicket(control.requestMediaTicket().get());
  control.startStream().get();

  const std::vector<ScreenFrameMeta> before = slow.readFramesFor(4s);
  ASSERT_FALSE(before.empty()) << agent.log();

  // The slow receiver now reads nothing for ten seconds.
  const std::size_t steadyResident = residentBytes(agent.pid());
  std::size_t peakResident = steadyResident;
  for (const auto pauseEnd = Clock::now() + 10s; Clock::now() < pauseEnd;) {
    std::this_thread::sleep_for(100ms);
    peakResident = std::max(peakResident, residentBytes(agent.pid()));
  }
  const std::vector<ScreenFrameMeta> after = slow.readFramesFor(3s);

  EXPECT_FALSE(testing_support::processEnded(agent.pid()));
  EXPECT_FALSE(slow.mediaBroken()) << "the slow receiver is kept, not dropped";
  EXPECT_LT(peakResident - steadyResident, std::size_t{50} << 20)
      << "resident " << steadyResident << " before the pause";

  // After what sat in the socket buffers, the slow receiver skips to a key frame.
  ASSERT_FALSE(after.empty()) << "the slow receiver resumes";
  std::uint64_t expected = before.back().frameID + 1;
  std::size_t resumed = 0;
  while (resumed < after.size() && after[resumed].frameID == expected) {
    ++resumed;
    ++expected;
  }
  ASSERT_LT(resumed, after.size())
      << "every frame of the pause was still delivered: the stall never outgrew the sockets";
  EXPECT_GT(after[resumed].frameID, expected);
  EXPECT_TRUE(after[resumed].isKeyframe) << "frame " << after[resumed].frameID;
  EXPECT_GT(after.size() - resumed, 10u) << "frames flow again after the skip";
}

}  // namespace
}  // namespace lumora::load
