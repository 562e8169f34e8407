// The service's bounds per client address: sign-in attempts (token buckets in a bounded table)
// and open connections (slots given back when a connection ends, also after it became a relay
// WebSocket).

#include <gtest/gtest.h>

#include "account/address_rate_limiter.h"
#include "account/connection_limit.h"
#include "service_harness.h"
#include "support/eventually.h"

namespace lumora::account::testing {
namespace {

using namespace std::chrono_literals;

TEST(AddressRateLimiter, ForgetsFullBucketsButNeverOneThatHoldsAnAddressBack) {
  AddressRateLimiter limiter({.perMinute = 60, .burst = 2}, /*maxAddresses=*/4);
  const Millis start = 1'000'000;
  EXPECT_FALSE(limiter.take("192.0.2.1", start));
  EXPECT_FALSE(limiter.take("192.0.2.1", start));
  EXPECT_EQ(limiter.take("192.0.2.1", start), 1s);
  // The wall clock stepped back an hour: still one attempt's wait, not an hour's.
  EXPECT_EQ(limiter.take("192.0.2.1", start - 3'600'000), 1s);

  // An attacker cycling through addresses to get the limited one forgotten: the table stays at
  // its bound by dropping the buckets nearest to full, which are its own.
  for (int i = 0; i < 1000; ++i) {
    EXPECT_FALSE(limiter.take("2001:db8::" + std::to_string(i), start + i));
  }
  EXPECT_LE(limiter.trackedAddresses(), 4u);
  EXPECT_TRUE(limiter.take("192.0.2.1", start + 999));

  // A minute later every bucket has filled up: a newcomer finds them all gone.
  EXPECT_EQ(limiter.trackedAddresses(), 4u);
  EXPECT_FALSE(limiter.take("198.51.100.7", start + 61'000));
  EXPECT_EQ(limiter.trackedAddresses(), 1u);
  EXPECT_FALSE(limiter.take("192.0.2.1", start + 61'000));
}

TEST(ConnectionLimit, HoldsEachAddressToItsBoundAndSaysSoOncePerFlood) {
  ConnectionLimit limit(4);
  std::vector<ConnectionLimit::Slot> open;
  auto admit = [&](const std::string& address) {
    auto admission = limit.admit(address);
    if (admission.slot) open.push_back(std::move(*admission.slot));
    return admission;
  };
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(admit("192.0.2.1").slot);
  const auto first = admit("192.0.2.1");
  EXPECT_FALSE(first.slot);
  EXPECT_TRUE(first.startsRefusing);
  EXPECT_FALSE(admit("192.0.2.1").startsRefusing);
  EXPECT_TRUE(admit("192.0.2.2").slot);  // another address is not held back (now 5 open)

  // A slot moved on still stands for one connection, once.
  ConnectionLimit::Slot moved = std::move(open.front());
  open.erase(open.begin());
  EXPECT_FALSE(admit("192.0.2.1").slot);
  { const ConnectionLimit::Slot ended = std::move(moved); }
  ASSERT_TRUE(admit("192.0.2.1").slot);  // its place came back
  EXPECT_FALSE(admit("192.0.2.1").startsRefusing);

  // Down to half the bound ends the flood: the next one is reported again.
  open.erase(open.begin(), open.begin() + 2);
  ASSERT_TRUE(admit("192.0.2.1").slot);
  ASSERT_TRUE(admit("192.0.2.1").slot);
  EXPECT_TRUE(admit("192.0.2.1").startsRefusing);
}

TEST(ConnectionLimit, ASlotMayOutliveTheLimitThatGaveIt) {
  std::optional<ConnectionLimit::Slot> slot;
  {
    ConnectionLimit limit(1);
    slot = std::move(limit.admit("192.0.2.1").slot);
  }
  slot.reset();  // under the sanitizers: no use after free
}

// A relay WebSocket keeps the place its HTTP connection took until it closes.
TEST(ConnectionBound, ARelayConnectionHoldsItsAddressesPlaceUntilItCloses) {
  ServiceUnderTest service([](ServiceConfig& c) { c.server.maxConnectionsPerAddress = 1; });
  auto host = std::make_unique<RelayClient>(service.url(), "/relay/" + std::string(64, 'e'));
  ASSERT_EQ(host->status(), 101);
  // One connection too many: closed before anything is read.
  EXPECT_THROW(service.client().get("/health"), std::exception);
  EXPECT_EQ(AccountClient(service.url(), "127.0.0.2").get("/health").status, 200);

  host->close();
  EXPECT_TRUE(testing_support::eventually([&] {
    try {
      return service.client().get("/health").status == 200;
    } catch (const std::exception&) {
      return false;
    }
  }));
}

}  // namespace
}  // namespace lumora::account::testing
