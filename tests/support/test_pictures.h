#pragma once

// PNG files the Wayland tests show on their desktop.

#include <array>
#include <cstdint>
#include <string>

#include "support/temp_dir.h"

namespace lumora::testing_support {

// Writes `name` in `folder`: a width × height PNG of four quadrants coloured 0xRRGGBB, top left,
// top right, bottom left, bottom right. Its path.
std::string writeQuadrantsPNG(const TempDir& folder, const std::string& name, int width, int height,
                              std::array<std::uint32_t, 4> colours);

}  // namespace lumora::testing_support
