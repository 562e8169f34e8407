// The service's bounds per client address: sign-in attempts (token buckets in a bounded table).

#include <gtest/gtest.h>

#include "account/address_rate_limiter.h"

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

}  // namespace
}  // namespace lumora::account::testing
