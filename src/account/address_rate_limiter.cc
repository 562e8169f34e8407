#include "account/address_rate_limiter.h"

#include <algorithm>
#include <cmath>

namespace lumora::account {

AddressRateLimiter::AddressRateLimiter(Rate rate, std::size_t maxAddresses)
    : limited_(rate.perMinute > 0),
      interval_(limited_ ? std::max<Millis>(1, std::llround(60000.0 / rate.perMinute)) : 0),
      tolerance_(interval_ * (std::max(rate.burst, 1u) - 1)),
      maxAddresses_(std::max<std::size_t>(maxAddresses, 1)) {}

std::optional<std::chrono::seconds> AddressRateLimiter::take(const std::string& address,
                                                             Millis now) {
  if (!limited_) return std::nullopt;
  std::lock_guard guard(lock_);
  auto found = fullAt_.find(address);
  if (found == fullAt_.end()) {
    if (fullAt_.size() >= maxAddresses_) {
      // Full buckets first; then the one nearest to full.
      std::erase_if(fullAt_, [&](const auto& entry) { return entry.second <= now; });
      if (fullAt_.size() >= maxAddresses_) {
        fullAt_.erase(std::min_element(fullAt_.begin(), fullAt_.end(),
                                       [](auto& a, auto& b) { return a.second < b.second; }));
      }
    }
    found = fullAt_.emplace(address, now).first;
  }
  // Clamped: the clock is the wall clock, and stepping it back must not lock anyone out for
  // longer than an empty bucket would.
  const Millis fullAt = std::clamp(found->second, now, now + tolerance_ + interval_);
  const Millis early = fullAt - now - tolerance_;
  if (early > 0) return std::chrono::seconds((early + 999) / 1000);
  found->second = fullAt + interval_;
  return std::nullopt;
}

std::size_t AddressRateLimiter::trackedAddresses() const {
  std::lock_guard guard(lock_);
  return fullAt_.size();
}

}  // namespace lumora::account
