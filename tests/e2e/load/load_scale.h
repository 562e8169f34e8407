#pragma once

// How much of its full count a load test runs: all of it unless LUMORA_LOAD_SCALE asks for a
// share (a number in (0, 1]). scripts/test asks for one in its sanitizer runs, where every
// request costs several times what it does in a plain build and the full count would outlast
// the per-case time limit; the plain build always runs the full count.

#include <algorithm>
#include <cstdlib>

namespace lumora::load {

inline double loadScale() {
  const char* text = std::getenv("LUMORA_LOAD_SCALE");
  if (text == nullptr || *text == '\0') return 1.0;
  char* end = nullptr;
  const double scale = std::strtod(text, &end);
  return *end == '\0' && scale > 0.0 && scale <= 1.0 ? scale : 1.0;
}

// `full` scaled down as asked, never below `floor`.
inline int scaledCount(int full, int floor = 1) {
  return std::max(floor, static_cast<int>(full * loadScale()));
}

}  // namespace lumora::load
