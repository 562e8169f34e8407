#pragma once

#include "platform/display_directory.h"

#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace lumora::fakes {

// Answers from what the test set. Thread-safe like the seam.
class FakeDisplayDirectory : public platform::DisplayDirectory {
 public:
  void set(std::vector<platform::DisplayDescriptor> displays,
           std::map<std::uint32_t, platform::DisplayRect> bounds = {}) {
    std::lock_guard lock(mutex_);
    displays_ = std::move(displays);
    bounds_ = std::move(bounds);
  }

  std::vector<platform::DisplayDescriptor> displays() override {
    std::lock_guard lock(mutex_);
    return displays_;
  }
  std::optional<std::uint32_t> mainDisplayID() override {
    std::lock_guard lock(mutex_);
    for (const auto& d : displays_) {
      if (d.isMain) return d.id;
    }
    return std::nullopt;
  }
  std::optional<platform::DisplayRect> bounds(std::uint32_t id) override {
    std::lock_guard lock(mutex_);
    auto it = bounds_.find(id);
    return it == bounds_.end() ? std::nullopt : std::optional(it->second);
  }

 private:
  std::mutex mutex_;
  std::vector<platform::DisplayDescriptor> displays_;
  std::map<std::uint32_t, platform::DisplayRect> bounds_;
};

}  // namespace lumora::fakes
