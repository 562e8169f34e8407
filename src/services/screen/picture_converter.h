#pragma once

#include "platform/pixel_buffer.h"
#include "media/ffmpeg_handles.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace lumora::services::screen {

// Turns BGRA frames of one size into the encoder's 4:2:0 picture (planar YUV or NV12).
//
// 4:2:0 needs even sides, so the picture is the frame's size rounded down to even: an odd
// side loses its last column or row, which on a screen is one pixel nobody misses and keeps
// every remaining pixel where it was. A side of 1 cannot round down and is padded to 2 by
// repeating it. The fourth byte of each pixel is ignored (captures may leave it as padding).
//
// Not thread-safe; the owning session serialises use.
class PictureConverter {
 public:
  struct Size {
    int width;
    int height;
  };
  static Size encodedSize(int sourceWidth, int sourceHeight);

  // Throws EncoderError::sessionCreateFailed when the sizes are unusable or memory is short.
  PictureConverter(int sourceWidth, int sourceHeight, AVPixelFormat format);

  // Converts `frame` (of the source size) into picture(); throws EncoderError::encodeFailed.
  void convert(const platform::PixelBuffer& frame);

  bool hasPicture() const { return hasPicture_; }
  // The last converted picture; keeps its contents until the next convert().
  AVFrame* picture() const { return picture_.get(); }
  Size size() const { return size_; }

 private:
  // Copies the frame into padded_ with its last column/row repeated up to the picture's size.
  const std::uint8_t* padded(const platform::PixelBuffer& frame);

  int sourceWidth_;
  int sourceHeight_;
  Size size_;
  media::ScalePtr scale_;
  media::FramePtr picture_;
  std::vector<std::uint8_t> padded_;
  bool hasPicture_ = false;
};

}  // namespace lumora::services::screen
