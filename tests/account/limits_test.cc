// The service's bounds per client address: the table of sign-in buckets, and the connection
// slot a relay WebSocket keeps.

#include <gtest/gtest.h>

#include "account/address_rate_limiter.h"
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
  // Cycling through addresses keeps the table at its bound without freeing the limited one.
  for (int i = 0; i < 1000; ++i) limiter.take("2001:db8::" + std::to_string(i), start + i);
  EXPECT_EQ(limiter.trackedAddresses(), 4u);
  EXPECT_TRUE(limiter.take("192.0.2.1", start + 999));
  // A minute on, every bucket is full again: a newcomer finds them gone.
  EXPECT_FALSE(limiter.take("198.51.100.7", start + 61'000));
  EXPECT_EQ(limiter.trackedAddresses(), 1u);
  // Waiting as long as told is enough; a moment less is not.
  EXPECT_FALSE(limiter.take("198.51.100.7", start + 61'000));
  const auto wait = limiter.take("198.51.100.7", start + 61'000);
  ASSERT_TRUE(wait);
  EXPECT_TRUE(limiter.take("198.51.100.7", start + 60'999 + wait->count() * 1000));
  EXPECT_FALSE(limiter.take("198.51.100.7", start + 61'000 + wait->count() * 1000));
}

TEST(ConnectionBound, ARelayConnectionHoldsItsAddressesPlaceUntilItCloses) {
  ServiceUnderTest service([](ServiceConfig& c) { c.server.maxConnectionsPerAddress = 1; });
  RelayClient host(service.url(), "/relay/" + std::string(64, 'e'));
  ASSERT_EQ(host.status(), 101);
  EXPECT_THROW(service.client().get("/health"), std::exception);  // closed unread
  host.close();
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
