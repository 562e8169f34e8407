#pragma once

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace lumora::transport {

// Spaces out pairing proofs per peer address once that address has sent wrong ones. After n
// failures in a row, the address's proofs are checked at most one per pause(n), which starts
// at `firstPause` and doubles up to `longestPause`; proofs sent in parallel over several
// connections queue behind one another instead of each getting its own try. A correct proof
// clears the address's record; a record without a proof for `forgetAfter` is dropped. Other
// addresses are never slowed.
//
// Thread-safe.
class ProofThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  struct Policy {
    std::chrono::milliseconds firstPause{250};
    std::chrono::milliseconds longestPause{std::chrono::seconds(30)};
    std::chrono::milliseconds forgetAfter{std::chrono::minutes(10)};
    // Addresses remembered at once; past this the one heard from longest ago is dropped.
    std::size_t maxAddresses = 4096;
  };

  ProofThrottle() : ProofThrottle(Policy()) {}
  explicit ProofThrottle(Policy policy) : policy_(policy) {}

  // When the next proof from `address` may be checked, reserving that moment for it: `now` for
  // an address without failures.
  Clock::time_point reserve(const std::string& address, Clock::time_point now);
  void recordFailure(const std::string& address, Clock::time_point now);
  void recordSuccess(const std::string& address);

  // Waits on the awaiting coroutine's executor until the moment reserve() gives `address`.
  boost::asio::awaitable<void> waitForTurn(const std::string& address);
  // recordSuccess or recordFailure (now), as the proof turned out.
  void record(const std::string& address, bool valid);

  // The spacing after `failures` failures in a row (zero for none).
  std::chrono::milliseconds pauseAfter(int failures) const;

 private:
  struct Record {
    int failures = 0;
    Clock::time_point lastProof;  // the latest moment reserved or failed
  };

  void forgetStale(Clock::time_point now);

  const Policy policy_;
  std::mutex lock_;
  std::unordered_map<std::string, Record> records_;
};

}  // namespace lumora::transport
