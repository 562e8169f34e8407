#include "h264_test_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <stdexcept>
#include <vector>

namespace lumora::sdk::test_support {

H264TestEncoder::H264TestEncoder(int width, int height) : width_(width), height_(height) {
  // The encoder's statistics and the decoder's complaints about deliberate garbage would only
  // bury the test output.
  av_log_set_level(AV_LOG_QUIET);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) throw std::runtime_error("libx264 encoder not available");
  context_ = avcodec_alloc_context3(codec);
  context_->width = width;
  context_->height = height;
  context_->pix_fmt = AV_PIX_FMT_YUV420P;
  context_->time_base = {1, 30};
  context_->gop_size = 30;
  context_->max_b_frames = 0;
  av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
  av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
  av_opt_set(context_->priv_data, "forced-idr", "1", 0);
  if (avcodec_open2(context_, codec, nullptr) < 0) throw std::runtime_error("encoder open failed");
  frame_ = av_frame_alloc();
  frame_->format = AV_PIX_FMT_YUV420P;
  frame_->width = width;
  frame_->height = height;
  av_frame_get_buffer(frame_, 0);
  packet_ = av_packet_alloc();
  scaler_ = sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, AV_PIX_FMT_YUV420P,
                           SWS_BILINEAR, nullptr, nullptr, nullptr);
}

H264TestEncoder::~H264TestEncoder() {
  sws_freeContext(scaler_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&context_);
}

protocol::Bytes H264TestEncoder::encode(Rgb left, Rgb right, bool keyFrame) {
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width_ * height_ * 3));
  for (int y = 0; y < height_; ++y) {
    for (int x = 0; x < width_; ++x) {
      const Rgb& colour = x < width_ / 2 ? left : right;
      std::uint8_t* pixel = &rgb[static_cast<std::size_t>((y * width_ + x) * 3)];
      pixel[0] = colour.r;
      pixel[1] = colour.g;
      pixel[2] = colour.b;
    }
  }
  const std::uint8_t* source[1] = {rgb.data()};
  const int sourceStride[1] = {width_ * 3};
  av_frame_make_writable(frame_);
  sws_scale(scaler_, source, sourceStride, 0, height_, frame_->data, frame_->linesize);
  frame_->pts = pts_++;
  frame_->pict_type = keyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  if (avcodec_send_frame(context_, frame_) < 0) throw std::runtime_error("encode failed");
  protocol::Bytes unit;
  while (avcodec_receive_packet(context_, packet_) == 0) {
    unit.insert(unit.end(), packet_->data, packet_->data + packet_->size);
    av_packet_unref(packet_);
  }
  return unit;
}

}  // namespace lumora::sdk::test_support
