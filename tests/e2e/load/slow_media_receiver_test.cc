// Two receivers of a live screen stream, one of which stops reading for ten seconds. The agent
// must not hoard frames for it, must keep the other one's stream flowing, and must bring the
// slow one back in at a key frame, since what it missed cannot be decoded without one.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sdk/agent_control_client.h"
#include "sdk/media_client.h"
#include "support/agent_process.h"
#include "support/process_table.h"
#include "support/raw_client.h"
#include "support/recorder.h"
#include "support/screen_animator.h"
#include "support/xvfb_server.h"

namespace lumora::load {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using protocol::ScreenFrameMeta;
using testing_support::residentBytes;

struct Arrival {
  Clock::time_point at;
  ScreenFrameMeta meta;
};

// The frames one receiver got, with when each arrived, read on a thread of its own.
class ArrivalLog : public testing_support::Recorder<Arrival> {
 public:
  explicit ArrivalLog(sdk::Stream<protocol::MediaFrame> frames)
      : frames_(std::move(frames)), thread_([this](std::stop_token stop) {
          while (!stop.stop_requested()) {
            if (auto frame = frames_.next(100ms)) add({Clock::now(), frame->meta});
          }
        }) {}

 private:
  sdk::Stream<protocol::MediaFrame> frames_;
  std::jthread thread_;
};

std::size_t countBetween(const std::vector<Arrival>& arrivals, Clock::time_point from,
                         Clock::time_point to) {
  std::size_t count = 0;
  for (const auto& arrival : arrivals) count += arrival.at >= from && arrival.at < to;
  return count;
}

TEST(SlowMediaReceiverTest, AReceiverThatStopsReadingCostsNeitherMemoryNorTheOthersFrames) {
  testing_support::XvfbServer xvfb("1600x900x24");
  testing_support::ScreenAnimator animator(xvfb.display(),
                                           testing_support::ScreenAnimator::noise());
  testing_support::AgentProcess agent({"DISPLAY=" + xvfb.display()});
  ASSERT_TRUE(agent.serving()) << agent.log();

  sdk::AgentControlClient control;
  control.connect("127.0.0.1", agent.controlPort()).get();
  control.authenticate(agent.secret().code(), "load-e2e").get();
  sdk::MediaClient fastClient;
  ArrivalLog fast(
      fastClient.connect("127.0.0.1", agent.mediaPort(), control.requestMediaTicket().get()).get());
  testing_support::RawClient slow(agent.mediaPort(), 4096);
  slow.sendTicket(control.requestMediaTicket().get());
  control.startStream().get();

  const std::vector<ScreenFrameMeta> before = slow.readFramesFor(4s);
  ASSERT_FALSE(before.empty()) << agent.log();
  EXPECT_TRUE(before.front().isKeyframe) << "a receiver starts at a key frame";

  // The slow receiver now reads nothing for ten seconds.
  const std::size_t steadyResident = residentBytes(agent.pid());
  std::size_t peakResident = steadyResident;
  const auto pauseStart = Clock::now();
  while (Clock::now() < pauseStart + 10s) {
    std::this_thread::sleep_for(100ms);
    peakResident = std::max(peakResident, residentBytes(agent.pid()));
  }
  const auto pauseEnd = Clock::now();
  const std::vector<ScreenFrameMeta> after = slow.readFramesFor(3s);
  const auto fastArrivals = fast.items();

  EXPECT_FALSE(testing_support::processEnded(agent.pid()));
  EXPECT_FALSE(slow.mediaBroken()) << "the slow receiver is kept, not dropped";
  EXPECT_LT(peakResident - steadyResident, std::size_t{50} << 20)
      << "resident " << steadyResident << " before the pause";

  // The other receiver's rate over the pause, against the seconds before it.
  const double rateBefore =
      static_cast<double>(countBetween(fastArrivals, pauseStart - 3s, pauseStart)) / 3.0;
  const double rateDuring = static_cast<double>(countBetween(fastArrivals, pauseStart, pauseEnd)) /
                            std::chrono::duration<double>(pauseEnd - pauseStart).count();
  EXPECT_GT(rateBefore, 5.0) << "the stream was not flowing";
  EXPECT_GE(rateDuring, 0.8 * rateBefore) << rateBefore << " frames/s before the pause";
  for (std::size_t i = 1; i < fastArrivals.size(); ++i) {
    ASSERT_EQ(fastArrivals[i].meta.frameID, fastArrivals[i - 1].meta.frameID + 1)
        << "the reader that keeps up loses nothing";
  }

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
