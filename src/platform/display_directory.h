#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumora::platform {

// A rectangle in the global display space: pixels, y downward, the same space the input
// injector posts pointer events in.
struct DisplayRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const DisplayRect&) const = default;
};

// One attached display as the peer sees it.
struct DisplayDescriptor {
  std::uint32_t id = 0;
  std::string name;
  std::int64_t width = 0;
  std::int64_t height = 0;
  bool isMain = false;
  bool operator==(const DisplayDescriptor&) const = default;
};

// Which displays are attached and where they sit. Answers are read afresh on every call, so a
// monitor plugged in meanwhile shows up. Implementations are safe to call from any thread;
// they throw their platform error when the display server cannot be asked at all.
class DisplayDirectory {
 public:
  virtual ~DisplayDirectory() = default;

  // In the platform's order; the main display is flagged, not moved to the front.
  virtual std::vector<DisplayDescriptor> displays() = 0;
  // None when no display is attached.
  virtual std::optional<std::uint32_t> mainDisplayID() = 0;
  // None for an identifier that is not attached.
  virtual std::optional<DisplayRect> bounds(std::uint32_t displayID) = 0;
};

}  // namespace lumora::platform
