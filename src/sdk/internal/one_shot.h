#pragma once

#include <atomic>

namespace lumora::sdk::internal {

// A fire-once guard: of several racing completions (ready, failure, time-out) exactly one
// learns that it came first and goes on; the others find it fired and do nothing.
class SDKOneShot {
 public:
  // True for the first caller only.
  bool fire() { return !fired_.exchange(true); }
  bool fired() const { return fired_.load(); }

 private:
  std::atomic<bool> fired_{false};
};

}  // namespace lumora::sdk::internal
