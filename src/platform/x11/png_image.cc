#include "platform/x11/png_image.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "media/ffmpeg_handles.h"
#include "media/png_encoder.h"

namespace lumora::platform::x11 {

using protocol::Bytes;
using protocol::ByteView;

namespace {

using media::CodecContextPtr;
using media::FormatContextPtr;
using media::FramePtr;
using media::PacketPtr;

struct IoCloser {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};

// The encoded bytes as FFmpeg's input, read and probed straight from memory.
struct MemoryInput {
  ByteView data;
  std::size_t position = 0;

  static int read(void* opaque, std::uint8_t* buffer, int size) {
    auto* self = static_cast<MemoryInput*>(opaque);
    const std::size_t left = self->data.size() - self->position;
    if (left == 0) return AVERROR_EOF;
    const std::size_t n = std::min<std::size_t>(left, static_cast<std::size_t>(size));
    std::memcpy(buffer, self->data.data() + self->position, n);
    self->position += n;
    return static_cast<int>(n);
  }
  static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<MemoryInput*>(opaque);
    const auto size = static_cast<std::int64_t>(self->data.size());
    std::int64_t target = 0;
    switch (whence & ~AVSEEK_FORCE) {
      case AVSEEK_SIZE:
        return size;
      case SEEK_SET:
        target = offset;
        break;
      case SEEK_CUR:
        target = static_cast<std::int64_t>(self->position) + offset;
        break;
      case SEEK_END:
        target = size + offset;
        break;
      default:
        return -1;
    }
    if (target < 0 || target > size) return -1;
    self->position = static_cast<std::size_t>(target);
    return target;
  }
};

// Only single-picture demuxers: the general probe would also take random bytes for audio or
// raw streams and "decode" garbage.
bool isImageDemuxer(const AVInputFormat* format) {
  const std::string_view name = format->name;
  return name.ends_with("_pipe") || name == "gif" || name == "image2";
}

FramePtr decode(ByteView encoded) {
  if (encoded.empty()) return nullptr;
  MemoryInput input{encoded};
  constexpr int kBufferSize = 64 * 1024;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
  if (buffer == nullptr) return nullptr;
  std::unique_ptr<AVIOContext, IoCloser> io(avio_alloc_context(
      buffer, kBufferSize, 0, &input, &MemoryInput::read, nullptr, &MemoryInput::seek));
  if (!io) {
    av_free(buffer);
    return nullptr;
  }
  AVFormatContext* rawFormat = avformat_alloc_context();
  if (rawFormat == nullptr) return nullptr;
  rawFormat->pb = io.get();
  rawFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_open_input(&rawFormat, nullptr, nullptr, nullptr) < 0) return nullptr;
  FormatContextPtr format(rawFormat);
  if (!isImageDemuxer(format->iformat) || format->nb_streams < 1) return nullptr;
  const AVStream* stream = format->streams[0];
  const AVCodecParameters* parameters = stream->codecpar;
  if (parameters->codec_type != AVMEDIA_TYPE_VIDEO) return nullptr;
  const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
  if (codec == nullptr) return nullptr;
  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context || avcodec_parameters_to_context(context.get(), parameters) < 0) return nullptr;
  context->max_pixels = kMaxImagePixels;
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;

  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  if (!packet || !frame) return nullptr;
  bool flushed = false;
  while (true) {
    const int received = avcodec_receive_frame(context.get(), frame.get());
    if (received == 0) break;
    if (received != AVERROR(EAGAIN) || flushed) return nullptr;
    if (av_read_frame(format.get(), packet.get()) < 0) {
      avcodec_send_packet(context.get(), nullptr);
      flushed = true;
      continue;
    }
    const int sent = avcodec_send_packet(context.get(), packet.get());
    av_packet_unref(packet.get());
    if (sent < 0 && sent != AVERROR(EAGAIN)) return nullptr;
  }
  if (frame->width <= 0 || frame->height <= 0 ||
      static_cast<long long>(frame->width) * frame->height > kMaxImagePixels) {
    return nullptr;
  }
  return frame;
}

}  // namespace

std::optional<Bytes> convertToPNG(ByteView encoded) {
  // FFmpeg's own log would otherwise print a line for every non-image a peer sends.
  av_log_set_level(AV_LOG_QUIET);
  FramePtr frame = decode(encoded);
  if (!frame) return std::nullopt;
  // Transparency is kept: a copied icon or screenshot region may have it.
  return media::encodePNG(*frame, AV_PIX_FMT_RGBA);
}

}  // namespace lumora::platform::x11
