#pragma once

#include <cstdint>

#include "protocol/bytes.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace lumora::sdk::test_support {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
};

// Produces an H.264 Annex B stream with libavcodec's libx264 encoder, as the agent's encoder
// does: no B-frames, one access unit per picture, parameter sets in front of every key frame.
class H264TestEncoder {
 public:
  H264TestEncoder(int width, int height);
  ~H264TestEncoder();
  H264TestEncoder(const H264TestEncoder&) = delete;
  H264TestEncoder& operator=(const H264TestEncoder&) = delete;

  // One access unit for a picture whose left half is `left` and right half `right`.
  protocol::Bytes encode(Rgb left, Rgb right, bool keyFrame = false);

 private:
  int width_;
  int height_;
  std::int64_t pts_ = 0;
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* scaler_ = nullptr;
};

}  // namespace lumora::sdk::test_support
