#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace lumora::testing_support {

// What a callback under test was handed, from whichever thread handed it, for the test to read
// or wait for.
template <class T>
class Recorder {
 public:
  void add(T item) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
    changed_.notify_all();
  }
  // A callback that records its argument.
  auto sink() {
    return [this](const T& item) { add(item); };
  }
  std::vector<T> items() const {
    std::lock_guard lock(mutex_);
    return items_;
  }
  std::size_t size() const { return items().size(); }
  T last() const { return items().back(); }

  // Waits until `holds(items)` does, under the recorder's lock; false when `limit` passes first.
  template <class Condition>
  bool waitUntil(Condition holds, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return holds(items_); });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<T> items_;
};

}  // namespace lumora::testing_support
