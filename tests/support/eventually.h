#pragma once

#include <chrono>
#include <thread>

namespace lumora::testing_support {

// Polls `condition` until it holds or `limit` has passed; the limit only keeps a broken
// program from hanging the test.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

}  // namespace lumora::testing_support
