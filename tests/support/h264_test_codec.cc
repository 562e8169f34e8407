#include "support/h264_test_codec.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace lumora::testing_support {
namespace {

void paintGradient(const platform::PixelBuffer& frame) {
  for (int y = 0; y < frame.height(); ++y) {
    std::uint8_t* row = frame.mutableData() + frame.stride() * static_cast<std::size_t>(y);
    for (int x = 0; x < frame.width(); ++x) {
      row[x * 4 + 0] = static_cast<std::uint8_t>(x * 255 / std::max(frame.width() - 1, 1));
      row[x * 4 + 1] = static_cast<std::uint8_t>(y * 255 / std::max(frame.height() - 1, 1));
      row[x * 4 + 2] = static_cast<std::uint8_t>((x + y) / 2);
      row[x * 4 + 3] = 255;
    }
  }
}

using Frame = std::unique_ptr<AVFrame, decltype([](AVFrame* f) { av_frame_free(&f); })>;
using Packet = std::unique_ptr<AVPacket, decltype([](AVPacket* p) { av_packet_free(&p); })>;

// `frame` converted to the pixel format and size of `into`, whose buffers are allocated here.
void convert(const AVFrame& frame, AVFrame& into) {
  av_frame_get_buffer(&into, 0);
  SwsContext* scaler = sws_getContext(
      frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), into.width, into.height,
      static_cast<AVPixelFormat>(into.format), SWS_BILINEAR, nullptr, nullptr, nullptr);
  sws_scale(scaler, frame.data, frame.linesize, 0, frame.height, into.data, into.linesize);
  sws_freeContext(scaler);
}

}  // namespace

platform::PixelBuffer movingBox(int width, int height, int step) {
  platform::PixelBuffer frame = *platform::PixelBuffer::allocate(width, height);
  paintGradient(frame);
  const int left = (step * 7) % std::max(width - 16, 1);
  const int top = (step * 3) % std::max(height - 16, 1);
  for (int y = top; y < std::min(top + 16, height); ++y) {
    for (int x = left; x < std::min(left + 16, width); ++x) {
      std::fill_n(frame.mutableData() + frame.stride() * y + x * 4, 3, 255);
    }
  }
  return frame;
}

Rgb DecodedImage::at(int x, int y) const {
  const std::uint8_t* p = &rgb[static_cast<std::size_t>((y * width + x) * 3)];
  return {p[0], p[1], p[2]};
}

double meanDifference(const DecodedImage& a, const DecodedImage& b) {
  if (a.width != b.width || a.height != b.height || a.rgb.empty()) return 255;
  double sum = 0;
  for (std::size_t i = 0; i < a.rgb.size(); ++i) sum += std::abs(a.rgb[i] - b.rgb[i]);
  return sum / static_cast<double>(a.rgb.size());
}

TestDecoder::TestDecoder(Format format) {
  const AVCodec* codec = avcodec_find_decoder(format == Format::h264  ? AV_CODEC_ID_H264
                                              : format == Format::png ? AV_CODEC_ID_PNG
                                                                      : AV_CODEC_ID_PPM);
  context_ = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (!context_) throw std::runtime_error("no decoder");
  context_->thread_count = 1;
  context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  if (avcodec_open2(context_, codec, nullptr) < 0) throw std::runtime_error("decoder open");
}

TestDecoder::~TestDecoder() { avcodec_free_context(&context_); }

std::optional<DecodedImage> TestDecoder::decode(protocol::ByteView bytes) {
  Packet packet(av_packet_alloc());
  Frame frame(av_frame_alloc());
  // Copied into a padded buffer: the decoder reads a little past the end.
  if (bytes.empty() || av_new_packet(packet.get(), static_cast<int>(bytes.size())) != 0) {
    return std::nullopt;
  }
  std::copy(bytes.begin(), bytes.end(), packet->data);
  if (avcodec_send_packet(context_, packet.get()) < 0 ||
      avcodec_receive_frame(context_, frame.get()) < 0) {
    return std::nullopt;
  }
  Frame rgb(av_frame_alloc());
  rgb->format = AV_PIX_FMT_RGB24;
  rgb->width = frame->width;
  rgb->height = frame->height;
  convert(*frame, *rgb);
  DecodedImage image{frame->width, frame->height, frame->key_frame != 0, {}};
  for (int y = 0; y < frame->height; ++y) {
    const std::uint8_t* row = rgb->data[0] + static_cast<std::ptrdiff_t>(y) * rgb->linesize[0];
    image.rgb.insert(image.rgb.end(), row, row + 3 * frame->width);
  }
  return image;
}

}  // namespace lumora::testing_support
