#include "platform/linux/cursor_overlay.h"

#include <algorithm>

namespace lumora::platform::linux_os {

void drawCursor(std::uint8_t* frame, std::size_t stride, int frameWidth, int frameHeight,
                const CursorImage& cursor, int x, int y) {
  if (cursor.pixels.size() < static_cast<std::size_t>(cursor.width) * cursor.height) return;
  const int left = x - cursor.hotX;
  const int top = y - cursor.hotY;
  const int fromX = std::max(0, -left);
  const int fromY = std::max(0, -top);
  const int toX = std::min(cursor.width, frameWidth - left);
  const int toY = std::min(cursor.height, frameHeight - top);
  for (int cy = fromY; cy < toY; ++cy) {
    std::uint8_t* row = frame + static_cast<std::size_t>(top + cy) * stride;
    for (int cx = fromX; cx < toX; ++cx) {
      const std::uint32_t argb = cursor.pixels[static_cast<std::size_t>(cy) * cursor.width + cx];
      const std::uint32_t alpha = argb >> 24;
      if (alpha == 0) continue;
      std::uint8_t* px = row + static_cast<std::size_t>(left + cx) * 4;
      const std::uint32_t keep = 255 - alpha;
      // Premultiplied source: result = source + destination × (1 − alpha).
      for (int channel = 0; channel < 3; ++channel) {
        const std::uint32_t source = (argb >> (8 * channel)) & 0xFF;
        px[channel] = static_cast<std::uint8_t>(
            std::min<std::uint32_t>(255, source + (px[channel] * keep + 127) / 255));
      }
    }
  }
}

}  // namespace lumora::platform::linux_os
