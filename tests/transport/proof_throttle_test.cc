#include "transport/proof_throttle.h"

#include <gtest/gtest.h>

namespace lumora::transport {
namespace {

using namespace std::chrono_literals;
using Clock = ProofThrottle::Clock;

TEST(ProofThrottleTest, PausesDoubleWithEachFailureUpToTheLongest) {
  ProofThrottle throttle({.firstPause = 100ms, .longestPause = 1s});
  EXPECT_EQ(throttle.pauseAfter(0), 0ms);
  EXPECT_EQ(throttle.pauseAfter(1), 100ms);
  EXPECT_EQ(throttle.pauseAfter(4), 800ms);
  EXPECT_EQ(throttle.pauseAfter(5), 1s);
  EXPECT_EQ(throttle.pauseAfter(64), 1s);
}

TEST(ProofThrottleTest, OnlyTheFailingAddressWaitsAndItsParallelProofsQueue) {
  ProofThrottle throttle({.firstPause = 100ms, .longestPause = 1s});
  const auto t0 = Clock::now();
  EXPECT_EQ(throttle.reserve("10.0.0.1", t0), t0);
  throttle.recordFailure("10.0.0.1", t0);
  throttle.recordFailure("10.0.0.1", t0 + 10ms);  // two failures: 200 ms apart from now on

  // Three proofs at once from the guesser, over three connections: one pause apart.
  const auto t1 = t0 + 20ms;
  EXPECT_EQ(throttle.reserve("10.0.0.1", t1), t0 + 210ms);
  EXPECT_EQ(throttle.reserve("10.0.0.1", t1), t0 + 410ms);
  EXPECT_EQ(throttle.reserve("10.0.0.1", t1), t0 + 610ms);
  // Someone else is not held up.
  EXPECT_EQ(throttle.reserve("10.0.0.2", t1), t1);
  // A proof long after the last one does not wait.
  EXPECT_EQ(throttle.reserve("10.0.0.1", t0 + 5s), t0 + 5s);
}

TEST(ProofThrottleTest, ACorrectProofClearsTheAddressAndSilenceIsForgotten) {
  ProofThrottle throttle({.firstPause = 100ms, .longestPause = 1s, .forgetAfter = 60s});
  const auto t0 = Clock::now();
  throttle.recordFailure("a", t0);
  throttle.recordSuccess("a");
  EXPECT_EQ(throttle.reserve("a", t0 + 1ms), t0 + 1ms);

  throttle.recordFailure("b", t0);
  throttle.recordFailure("b", t0);
  // Another address failing a minute later sweeps out the stale record.
  throttle.recordFailure("c", t0 + 61s);
  EXPECT_EQ(throttle.reserve("b", t0 + 61s), t0 + 61s);
  throttle.recordFailure("b", t0 + 61s);
  EXPECT_EQ(throttle.reserve("b", t0 + 61s), t0 + 61s + 100ms) << "starts again at one failure";
}

TEST(ProofThrottleTest, RemembersABoundedNumberOfAddresses) {
  ProofThrottle throttle({.firstPause = 100ms, .maxAddresses = 3});
  const auto t0 = Clock::now();
  for (int i = 0; i < 4; ++i) {
    throttle.recordFailure("10.0.0." + std::to_string(i), t0 + std::chrono::seconds(i));
  }
  // The one heard from longest ago made room; the others still wait.
  EXPECT_EQ(throttle.reserve("10.0.0.0", t0 + 4s), t0 + 4s);
  EXPECT_EQ(throttle.reserve("10.0.0.3", t0 + 3s), t0 + 3s + 100ms);
  EXPECT_EQ(throttle.reserve("10.0.0.1", t0 + 1s), t0 + 1s + 100ms);
}

}  // namespace
}  // namespace lumora::transport
