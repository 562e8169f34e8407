#pragma once

#include "platform/display_directory.h"

#include <map>
#include <optional>
#include <vector>

namespace lumora::fakes {

// Answers from what the test set before handing it over (read-only from then on, so it may be
// read from any thread, like the seam).
class FakeDisplayDirectory : public platform::DisplayDirectory {
 public:
  std::vector<platform::DisplayDescriptor> displays() override { return list; }
  std::optional<std::uint32_t> mainDisplayID() override {
    for (const auto& d : list) {
      if (d.isMain) return d.id;
    }
    return std::nullopt;
  }
  std::optional<platform::DisplayRect> bounds(std::uint32_t id) override {
    auto it = rects.find(id);
    return it == rects.end() ? std::nullopt : std::optional(it->second);
  }

  std::vector<platform::DisplayDescriptor> list;
  std::map<std::uint32_t, platform::DisplayRect> rects;
};

}  // namespace lumora::fakes
