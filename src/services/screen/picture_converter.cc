#include "services/screen/picture_converter.h"

#include "services/screen/encoder_error.h"

#include <algorithm>
#include <cstring>

namespace lumora::services::screen {
namespace {

int evenSide(int side) { return side == 1 ? 2 : side & ~1; }

}  // namespace

PictureConverter::Size PictureConverter::encodedSize(int sourceWidth, int sourceHeight) {
  return {evenSide(sourceWidth), evenSide(sourceHeight)};
}

PictureConverter::PictureConverter(int sourceWidth, int sourceHeight, AVPixelFormat format)
    : sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      size_(encodedSize(sourceWidth, sourceHeight)) {
  if (sourceWidth < 1 || sourceHeight < 1 || sourceWidth > platform::PixelBuffer::kMaxSide ||
      sourceHeight > platform::PixelBuffer::kMaxSide) {
    throw EncoderError::sessionCreateFailed(AVERROR(EINVAL));
  }
  // Same size in and out: this is a colour conversion and chroma subsampling, not a scale.
  scale_.reset(sws_getContext(size_.width, size_.height, AV_PIX_FMT_BGR0, size_.width, size_.height,
                              format, SWS_BILINEAR, nullptr, nullptr, nullptr));
  picture_.reset(av_frame_alloc());
  if (!scale_ || !picture_) throw EncoderError::sessionCreateFailed(AVERROR(ENOMEM));
  picture_->format = format;
  picture_->width = size_.width;
  picture_->height = size_.height;
  if (const int status = av_frame_get_buffer(picture_.get(), 0); status < 0) {
    throw EncoderError::sessionCreateFailed(status);
  }
}

void PictureConverter::convert(const platform::PixelBuffer& frame) {
  if (frame.width() != sourceWidth_ || frame.height() != sourceHeight_ || !frame.data() ||
      frame.stride() < static_cast<std::size_t>(sourceWidth_) * 4) {
    throw EncoderError::encodeFailed(AVERROR(EINVAL));
  }
  // The encoder may still hold a reference to the previous picture.
  if (const int status = av_frame_make_writable(picture_.get()); status < 0) {
    throw EncoderError::encodeFailed(status);
  }
  const bool pad = size_.width > sourceWidth_ || size_.height > sourceHeight_;
  const std::uint8_t* source = pad ? padded(frame) : frame.data();
  const int stride = pad ? size_.width * 4 : static_cast<int>(frame.stride());
  const std::uint8_t* const planes[] = {source, nullptr, nullptr, nullptr};
  const int strides[] = {stride, 0, 0, 0};
  sws_scale(scale_.get(), planes, strides, 0, size_.height, picture_->data, picture_->linesize);
  hasPicture_ = true;
}

const std::uint8_t* PictureConverter::padded(const platform::PixelBuffer& frame) {
  padded_.resize(static_cast<std::size_t>(size_.width) * size_.height * 4);
  for (int y = 0; y < size_.height; ++y) {
    const std::uint8_t* row = frame.row(std::min(y, sourceHeight_ - 1));
    std::uint8_t* out = padded_.data() + static_cast<std::size_t>(y) * size_.width * 4;
    for (int x = 0; x < size_.width; ++x) {
      std::memcpy(out + x * 4, row + std::min(x, sourceWidth_ - 1) * 4, 4);
    }
  }
  return padded_.data();
}

}  // namespace lumora::services::screen
