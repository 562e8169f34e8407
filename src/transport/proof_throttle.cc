#include "transport/proof_throttle.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>

namespace lumora::transport {

std::chrono::milliseconds ProofThrottle::pauseAfter(int failures) const {
  if (failures <= 0) return std::chrono::milliseconds(0);
  std::chrono::milliseconds pause = policy_.firstPause;
  for (int i = 1; i < failures && pause < policy_.longestPause; ++i) pause *= 2;
  return std::min(pause, policy_.longestPause);
}

ProofThrottle::Clock::time_point ProofThrottle::reserve(const std::string& address,
                                                        Clock::time_point now) {
  std::lock_guard guard(lock_);
  auto found = records_.find(address);
  if (found == records_.end()) return now;
  Record& record = found->second;
  record.lastProof = std::max(now, record.lastProof + pauseAfter(record.failures));
  return record.lastProof;
}

void ProofThrottle::recordFailure(const std::string& address, Clock::time_point now) {
  std::lock_guard guard(lock_);
  auto found = records_.find(address);
  if (found == records_.end()) {
    forgetStale(now);
    found = records_.emplace(address, Record{0, now}).first;
  }
  Record& record = found->second;
  record.failures = std::min(record.failures + 1, 64);
  record.lastProof = std::max(record.lastProof, now);
}

void ProofThrottle::recordSuccess(const std::string& address) {
  std::lock_guard guard(lock_);
  records_.erase(address);
}

// Under the lock, before a new address is added.
void ProofThrottle::forgetStale(Clock::time_point now) {
  std::erase_if(records_, [&](const auto& entry) {
    return now - entry.second.lastProof > policy_.forgetAfter;
  });
  if (records_.size() < policy_.maxAddresses) return;
  auto oldest = std::min_element(
      records_.begin(), records_.end(),
      [](const auto& a, const auto& b) { return a.second.lastProof < b.second.lastProof; });
  records_.erase(oldest);
}

boost::asio::awaitable<void> ProofThrottle::waitForTurn(const std::string& address) {
  const auto now = Clock::now();
  const auto at = reserve(address, now);
  if (at <= now) co_return;
  boost::asio::steady_timer pause(co_await boost::asio::this_coro::executor, at);
  co_await pause.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
}

void ProofThrottle::record(const std::string& address, bool valid) {
  if (valid) {
    recordSuccess(address);
  } else {
    recordFailure(address, Clock::now());
  }
}

}  // namespace lumora::transport
