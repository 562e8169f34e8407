#include "services/screen/bit_rate_rules.h"

#include <algorithm>
#include <cmath>

namespace lumora::services::screen {

int recommendedBitRate(int width, int height, int fps) {
  constexpr double kFloor = 1'000'000;
  constexpr double kCeiling = 25'000'000;
  const double bits =
      static_cast<double>(std::max(fps, 1)) * std::max(width, 1) * std::max(height, 1) * 0.12;
  // Clamped before the conversion, so a huge product never overflows the integer.
  return static_cast<int>(std::clamp(std::trunc(bits), kFloor, kCeiling));
}

std::optional<std::array<double, 2>> dataRateLimits(int averageBitRate, double peakMultiplier) {
  if (!(peakMultiplier > 1.0) || averageBitRate < 1) return std::nullopt;
  return std::array<double, 2>{std::round(averageBitRate * peakMultiplier * 0.125), 1.0};
}

RateControl rateControlFor(const EncoderSettings& settings, int width, int height) {
  RateControl rate;
  rate.averageBitRate = settings.bitRate && *settings.bitRate >= 1
                            ? *settings.bitRate
                            : recommendedBitRate(width, height, std::max(settings.fps, 1));
  if (const auto limits =
          dataRateLimits(static_cast<int>(rate.averageBitRate), settings.peakBitRateMultiplier)) {
    // The encoder takes a rate over a buffer: the byte budget per period, in bits per second.
    const double bitsPerSecond = (*limits)[0] * 8 / (*limits)[1];
    rate.peakBitRate = static_cast<std::int64_t>(std::min(bitsPerSecond, 2147483647.0));
  }
  return rate;
}

}  // namespace lumora::services::screen
