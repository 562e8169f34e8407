#include "h264_test_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cstdlib>
#include <random>
#include <stdexcept>

namespace lumora::services::screen::testing {
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

}  // namespace

platform::PixelBuffer movingBox(int width, int height, int step) {
  platform::PixelBuffer frame = *platform::PixelBuffer::allocate(width, height);
  paintGradient(frame);
  const int left = (step * 7) % std::max(width - 16, 1);
  const int top = (step * 3) % std::max(height - 16, 1);
  for (int y = top; y < std::min(top + 16, height); ++y) {
    for (int x = left; x < std::min(left + 16, width); ++x) {
      std::uint8_t* pixel = frame.mutableData() + frame.stride() * y + x * 4;
      pixel[0] = 255;
      pixel[1] = 255;
      pixel[2] = 255;
    }
  }
  return frame;
}

platform::PixelBuffer noisy(int width, int height, std::uint32_t seed) {
  platform::PixelBuffer frame = *platform::PixelBuffer::allocate(width, height);
  paintGradient(frame);
  std::mt19937 random(seed);
  for (std::size_t i = 0; i < frame.byteCount(); i += 4) {
    if (random() % 4 == 0) {
      const auto value = static_cast<std::uint8_t>(random());
      frame.mutableData()[i] = frame.mutableData()[i + 1] = frame.mutableData()[i + 2] = value;
    }
  }
  return frame;
}

NalLayout nalLayout(const protocol::Bytes& data) {
  NalLayout layout;
  layout.startsWithStartCode =
      data.size() >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1;
  std::size_t unitStart = 0;
  bool inUnit = false;
  auto close = [&](std::size_t end) {
    if (inUnit && end > unitStart) {
      layout.units.emplace_back(data.begin() + unitStart, data.begin() + end);
      layout.types.push_back(data[unitStart] & 0x1f);
    }
  };
  for (std::size_t i = 0; i + 3 <= data.size(); ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const bool fourByte = i >= 1 && data[i - 1] == 0;
    if (!fourByte) ++layout.shortStartCodes;
    close(fourByte ? i - 1 : i);
    unitStart = i + 3;
    inUnit = true;
    i += 2;
  }
  close(data.size());
  return layout;
}

TestDecoder::TestDecoder() {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  context_ = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (!context_) throw std::runtime_error("no H.264 decoder");
  context_->thread_count = 1;
  context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  if (avcodec_open2(context_, codec, nullptr) < 0) throw std::runtime_error("decoder open");
}

TestDecoder::~TestDecoder() { avcodec_free_context(&context_); }

std::optional<DecodedPicture> TestDecoder::decode(const protocol::Bytes& annexB) {
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::optional<DecodedPicture> result;
  // Copied into a padded buffer: the decoder reads a little past the end.
  if (av_new_packet(packet, static_cast<int>(annexB.size())) == 0) {
    std::copy(annexB.begin(), annexB.end(), packet->data);
  }
  if (packet->size > 0 && avcodec_send_packet(context_, packet) >= 0 &&
      avcodec_receive_frame(context_, frame) >= 0) {
    DecodedPicture picture;
    picture.width = frame->width;
    picture.height = frame->height;
    picture.keyFrame = frame->key_frame != 0;
    for (int y = 0; y < frame->height; ++y) {
      const std::uint8_t* row =
          frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
      picture.luma.insert(picture.luma.end(), row, row + frame->width);
    }
    result = std::move(picture);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  return result;
}

double meanLumaDifference(const DecodedPicture& a, const DecodedPicture& b) {
  if (a.width != b.width || a.height != b.height || a.luma.empty()) return 255;
  double sum = 0;
  for (std::size_t i = 0; i < a.luma.size(); ++i) sum += std::abs(a.luma[i] - b.luma[i]);
  return sum / static_cast<double>(a.luma.size());
}

}  // namespace lumora::services::screen::testing
