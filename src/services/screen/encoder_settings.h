#pragma once

#include <optional>
#include <string>

namespace lumora::services::screen {

// How H264Encoder compresses; read when a session is built, so a change applies from the next
// rebuild (a size change or the first frame after finish()). Known to callers as
// H264Encoder::Settings.
struct EncoderSettings {
  // Average bits per second; none (or a value below 1) derives one from size and frame rate.
  std::optional<int> bitRate;
  // Expected frames per second; below 1 counts as 1.
  int fps = 30;
  // Longest run between key frames in seconds: at most fps × this many frames, and a frame
  // that comes this long after the last key frame is made one (below 1 counts as 1).
  int keyFrameIntervalSeconds = 2;
  // Peak rate over any one second as a multiple of the average; 1.0 or less sets no peak.
  double peakBitRateMultiplier = 2.0;
  // x264's speed/quality trade-off; unused by hardware encoders.
  std::string preset = "ultrafast";
  // Which H.264 encoder compresses: `automatic` tries the machine's VAAPI encoder and falls
  // back to x264; `software` is x264 alone; `vaapi` is the hardware encoder or nothing (a
  // stream then fails to start, saying why).
  enum class Encoder { automatic, software, vaapi };
  Encoder encoder = Encoder::automatic;

  bool operator==(const EncoderSettings&) const = default;
};

}  // namespace lumora::services::screen
