// Thousands of short sessions against the real agent: each connects, pairs, asks once and hangs
// up. Whatever a session holds in the agent must go with it.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "load_scale.h"
#include "support/agent_process.h"
#include "support/eventually.h"
#include "support/process_table.h"
#include "support/raw_client.h"

namespace lumora::load {
namespace {

using namespace std::chrono_literals;
using protocol::MessageType;
using testing_support::AgentProcess;
using testing_support::openDescriptors;
using testing_support::processEnded;
using testing_support::RawClient;
using testing_support::residentBytes;

void shortSession(const AgentProcess& agent) {
  RawClient client(agent.controlPort());
  client.authenticate(agent.secret());
  if (client.ask(protocol::PingRequest{}).payload.messageType() != MessageType::ack) {
    throw std::runtime_error("ping not acknowledged");
  }
}

// Waits (briefly) for the agent to finish closing the sessions the client has already left.
std::size_t settledDescriptors(pid_t pid, std::size_t target) {
  std::size_t count = 0;
  testing_support::eventually([&] { return (count = openDescriptors(pid)) <= target; }, 5s);
  return count;
}

TEST(ConnectionChurnTest, TenThousandShortSessionsLeaveNoDescriptorsOrMemoryBehind) {
  AgentProcess agent;
  ASSERT_TRUE(agent.serving()) << agent.log();

  // The starting point is taken after a warm-up of a few hundred sessions: by then the
  // allocator's pools, the worker threads and everything built on first use exist, so what
  // the measurement sees afterwards is what sessions leave behind, not start-up.
  constexpr int kWarmUp = 300;
  const int kSessions = scaledCount(10000, 1000);  // a share of it in sanitizer runs
  for (int i = 0; i < kWarmUp; ++i) ASSERT_NO_THROW(shortSession(agent)) << "warm-up " << i;
  const std::size_t startDescriptors = settledDescriptors(agent.pid(), 0);
  const std::size_t startResident = residentBytes(agent.pid());
  ASSERT_GT(startDescriptors, 0u);
  ASSERT_GT(startResident, 0u);

  for (int i = 0; i < kSessions; ++i) {
    try {
      shortSession(agent);
    } catch (const std::exception& e) {
      FAIL() << "session " << i << ": " << e.what() << "\n" << agent.log();
    }
  }

  // Within 10 %, and at least 2 descriptors of slack where 10 % of a small count is less.
  const std::size_t descriptorBound =
      std::max(startDescriptors + startDescriptors / 10, startDescriptors + 2);
  EXPECT_LE(settledDescriptors(agent.pid(), descriptorBound), descriptorBound)
      << "started with " << startDescriptors;
  const std::size_t residentBound = startResident + startResident / 10;
  EXPECT_LE(residentBytes(agent.pid()), residentBound) << "started with " << startResident;
  EXPECT_FALSE(processEnded(agent.pid()));
  ASSERT_NO_THROW(shortSession(agent)) << "still serving";
}

}  // namespace
}  // namespace lumora::load
