// A paired phone keeps pinging while hundreds of peers that never pair crowd both ports: idle,
// dripping a byte at a time, or sending frames no agent should take. The agent must stay up,
// answer every hostile frame as it should, and keep serving the phone about as fast as before.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "hostile_exchanges.h"
#include "support/agent_process.h"
#include "support/process_table.h"
#include "support/raw_client.h"
#include "support/xvfb_server.h"
#include "unpaired_flood.h"

namespace lumora::load {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::AgentProcess;
using testing_support::RawClient;
using testing_support::residentBytes;

// Pings are spaced alike with and without the flood, so both medians see the same idle waits.
constexpr auto kPingSpacing = 2ms;

Clock::duration timedPing(RawClient& phone) {
  const auto start = Clock::now();
  const auto reply = phone.ask(protocol::PingRequest{});
  const auto took = Clock::now() - start;
  if (reply.payload.messageType() != protocol::MessageType::ack) {
    throw std::runtime_error("ping not acknowledged");
  }
  return took;
}

Clock::duration median(std::vector<Clock::duration> samples) {
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  return samples[samples.size() / 2];
}

// Hostile exchanges, round after round, until told to stop; what went wrong is kept.
class HostileRounds {
 public:
  explicit HostileRounds(const AgentProcess& agent) : agent_(agent), thread_([this] { run(); }) {}
  ~HostileRounds() { stop(); }

  void stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int rounds() const { return rounds_; }
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  void run() {
    while (!stopping_ && problems_.size() < 10) {
      for (std::string problem : {
               malformedFramesAreAnsweredAndSurvived(agent_.controlPort()),
               hugeLengthPrefixClosesTheControlConnection(agent_.controlPort()),
               oversizedFrameBeforePairingClosesTheConnection(agent_.controlPort()),
               malformedTicketFramesCloseTheMediaConnection(agent_.mediaPort()),
               aNewPeerStillPairs(agent_.controlPort(), agent_.secret()),
           }) {
        if (!problem.empty()) {
          problems_.push_back("round " + std::to_string(rounds_) + ": " + problem);
        }
      }
      ++rounds_;
      std::this_thread::sleep_for(20ms);
    }
  }

  const AgentProcess& agent_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> rounds_{0};
  std::vector<std::string> problems_;
  std::thread thread_;
};

TEST(UnpairedFloodTest, AgentShedsUnpairedPeersAndKeepsServingThePairedOne) {
  // A display gives the agent its media port; nothing is streamed.
  testing_support::XvfbServer xvfb("320x240x24");
  AgentProcess agent({"DISPLAY=" + xvfb.display()});
  ASSERT_TRUE(agent.serving()) << agent.log();
  ASSERT_NE(agent.mediaPort(), 0) << "needs the media port";
  RawClient phone(agent.controlPort());
  phone.authenticate(agent.secret());

  std::vector<Clock::duration> quiet;
  for (int i = 0; i < 400; ++i) {
    quiet.push_back(timedPing(phone));
    std::this_thread::sleep_for(kPingSpacing);
  }
  const std::size_t quietResident = residentBytes(agent.pid());

  UnpairedFlood flood(agent.controlPort(), agent.mediaPort(), UnpairedFlood::Size());
  HostileRounds hostile(agent);
  std::vector<Clock::duration> loaded;
  std::size_t peakResident = 0;
  const auto end = Clock::now() + 8s;
  while (Clock::now() < end) {
    loaded.push_back(timedPing(phone));
    peakResident = std::max(peakResident, residentBytes(agent.pid()));
    std::this_thread::sleep_for(kPingSpacing);
  }
  hostile.stop();
  flood.stop();

  EXPECT_FALSE(testing_support::processEnded(agent.pid()));
  EXPECT_EQ(hostile.problems(), std::vector<std::string>());
  EXPECT_GT(hostile.rounds(), 10);
  EXPECT_EQ(flood.refused(), 0);

  // Beyond 64 waiting peers the oldest is closed; an idle media peer goes after 5 s without
  // a ticket. Both are long past for the first of the burst.
  for (auto& connection : flood.takeOldestIdleControl(50)) {
    EXPECT_TRUE(connection.closedWithin(1s)) << "an idle control peer outlived the crowd";
  }
  for (auto& connection : flood.takeOldestIdleMedia(50)) {
    EXPECT_TRUE(connection.closedWithin(1s)) << "an idle media peer outlived its time-out";
  }

  const auto quietMedian = median(quiet);
  const auto loadedMedian = median(loaded);
  EXPECT_LE(loadedMedian, 3 * quietMedian)
      << "median ping " << std::chrono::duration<double, std::micro>(quietMedian).count()
      << " us quiet, " << std::chrono::duration<double, std::micro>(loadedMedian).count()
      << " us under the flood of " << flood.opened() << " peers";
  // Refused frames are never buffered toward their announced length.
  EXPECT_LT(peakResident, quietResident + (64u << 20)) << "started at " << quietResident;

  EXPECT_NO_THROW(timedPing(phone));
  EXPECT_EQ(aNewPeerStillPairs(agent.controlPort(), agent.secret()), "");
}

}  // namespace
}  // namespace lumora::load
