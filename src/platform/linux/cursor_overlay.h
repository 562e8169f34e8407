#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace lumora::platform::linux_os {

// A cursor picture: premultiplied ARGB pixels (as the server hands them out), row-major.
struct CursorImage {
  int width = 0;
  int height = 0;
  int hotX = 0;
  int hotY = 0;
  std::span<const std::uint32_t> pixels;
};

// Blends `cursor` over a 32-bit BGRx frame with its hot spot at (x, y) in frame pixels; parts
// outside the frame are clipped. Leaves the fourth byte of each pixel alone.
void drawCursor(std::uint8_t* frame, std::size_t stride, int frameWidth, int frameHeight,
                const CursorImage& cursor, int x, int y);

}  // namespace lumora::platform::linux_os
