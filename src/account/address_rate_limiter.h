#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "account/records.h"

namespace lumora::account {

// A token bucket per client address: an address may make `burst` attempts at once, and then
// `perMinute` a minute. The table of addresses is bounded: when it is full, buckets that have
// filled up again are forgotten (they allow exactly what a new one does), and when none has,
// the fullest one goes, so an attacker cycling through addresses cannot push out the bucket of
// an address that is being held back.
//
// Threads: safe from any thread.
class AddressRateLimiter {
 public:
  struct Rate {
    double perMinute = 10;  // 0: nothing is limited
    unsigned burst = 20;
  };

  explicit AddressRateLimiter(Rate rate, std::size_t maxAddresses = 10000);

  // Takes one attempt for `address` at `now`: nothing when it may go ahead, else the whole
  // seconds until one would be allowed (at least one). A refused attempt takes nothing.
  std::optional<std::chrono::seconds> take(const std::string& address, Millis now);

  // How many addresses the table holds.
  std::size_t trackedAddresses() const;

 private:
  const bool limited_;
  const Millis interval_;   // one attempt's worth of refill
  const Millis tolerance_;  // how far ahead of `now` a bucket's fullAt may run: burst - 1 attempts
  const std::size_t maxAddresses_;
  mutable std::mutex lock_;  // guards fullAt_
  // Each bucket kept as the time at which it is full again: its tokens at `now` are
  // burst - (fullAt - now) / interval. Integer times keep Retry-After exact.
  std::unordered_map<std::string, Millis> fullAt_;
};

}  // namespace lumora::account
