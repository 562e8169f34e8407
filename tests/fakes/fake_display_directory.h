#pragma once

#include "platform/display_directory.h"

#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

namespace lumora::fakes {

// Answers from what the test set; `failure` makes every call throw it, as a lost display
// server would. Thread-safe like the seam.
class FakeDisplayDirectory : public platform::DisplayDirectory {
 public:
  void set(std::vector<platform::DisplayDescriptor> displays,
           std::map<std::uint32_t, platform::DisplayRect> bounds = {}) {
    std::lock_guard lock(mutex_);
    displays_ = std::move(displays);
    bounds_ = std::move(bounds);
  }
  void failWith(std::string message) {
    std::lock_guard lock(mutex_);
    failure_ = std::move(message);
  }

  std::vector<platform::DisplayDescriptor> displays() override {
    std::lock_guard lock(mutex_);
    throwIfFailing();
    return displays_;
  }
  std::optional<std::uint32_t> mainDisplayID() override {
    std::lock_guard lock(mutex_);
    throwIfFailing();
    for (const auto& d : displays_) {
      if (d.isMain) return d.id;
    }
    return std::nullopt;
  }
  std::optional<platform::DisplayRect> bounds(std::uint32_t id) override {
    std::lock_guard lock(mutex_);
    throwIfFailing();
    auto it = bounds_.find(id);
    if (it == bounds_.end()) return std::nullopt;
    return it->second;
  }

 private:
  void throwIfFailing() const {
    if (failure_) throw std::runtime_error(*failure_);
  }

  std::mutex mutex_;
  std::vector<platform::DisplayDescriptor> displays_;
  std::map<std::uint32_t, platform::DisplayRect> bounds_;
  std::optional<std::string> failure_;
};

}  // namespace lumora::fakes
