#pragma once

#include "services/screen/encoder_settings.h"

#include <array>
#include <cstdint>
#include <optional>

namespace lumora::services::screen {

// Bits per second for a picture size and frame rate: 0.12 bits per pixel and frame (every
// factor at least 1), truncated, within 1 000 000 … 25 000 000.
int recommendedBitRate(int width, int height, int fps);

// The peak as {bytes per period, period in seconds}: {round(average × multiplier / 8), 1.0},
// rounded half away from zero; none when the multiplier is 1.0 or less or the average below 1.
std::optional<std::array<double, 2>> dataRateLimits(int averageBitRate, double peakMultiplier);

// What a session of width × height runs at under `settings`.
struct RateControl {
  std::int64_t averageBitRate = 0;
  // The peak in bits per second, and the size in bits of the one-second buffer that enforces
  // it; 0 when no peak is set.
  std::int64_t peakBitRate = 0;
};
RateControl rateControlFor(const EncoderSettings& settings, int width, int height);

}  // namespace lumora::services::screen
