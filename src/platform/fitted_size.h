#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

namespace lumora::platform {

struct FrameSize {
  int width = 0;
  int height = 0;
  bool operator==(const FrameSize&) const = default;
};

// The capture size for a display of dw × dh pixels inside an optional box: never larger than
// the box, never enlarged, aspect kept up to rounding, both sides even and at least 2 (the
// encoder needs even sides). A box side below 1 counts as no limit.
inline FrameSize fittedSize(int dw, int dh, std::optional<int> mw, std::optional<int> mh) {
  if (dw < 1 || dh < 1) return {2, 2};
  double scale = 1.0;
  if (mw && *mw >= 1) scale = std::min(static_cast<double>(*mw) / dw, 1.0);
  if (mh && *mh >= 1 && static_cast<double>(*mh) / dh < scale) {
    scale = static_cast<double>(*mh) / dh;
  }
  long width = dw;
  long height = dh;
  if (scale < 1.0) {
    width = std::lround(scale * dw);
    height = std::lround(scale * dh);
  }
  auto even = [](long side) { return static_cast<int>(std::max(side, 2L) & ~1L); };
  return {even(width), even(height)};
}

// One side of the box a stream request asks for: `fallback` when it names none, no limit for 0
// or less, else the request's side kept within what a frame can be.
inline std::optional<int> requestedBoxSide(std::optional<std::int64_t> wanted, int fallback,
                                           int largest) {
  if (!wanted) return fallback;
  if (*wanted < 1) return std::nullopt;
  return static_cast<int>(std::min<std::int64_t>(*wanted, largest));
}

}  // namespace lumora::platform
