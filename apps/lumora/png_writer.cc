#include "png_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <memory>

#include "failure.h"

namespace lumora::cli {

namespace {

struct CodecContextFree {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

}  // namespace

protocol::Bytes encodePNG(const sdk::DecodedPicture& picture) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!codec) throw Failure("cannot write PNG: no PNG encoder in this FFmpeg");
  std::unique_ptr<AVCodecContext, CodecContextFree> context(avcodec_alloc_context3(codec));
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  if (!context || !frame || !packet) throw Failure("cannot write PNG: out of memory");
  context->width = picture.width;
  context->height = picture.height;
  context->pix_fmt = AV_PIX_FMT_RGB24;
  context->time_base = {1, 1};
  if (avcodec_open2(context.get(), codec, nullptr) < 0) {
    throw Failure("cannot write PNG: the encoder refused " + std::to_string(picture.width) + "x" +
                  std::to_string(picture.height));
  }
  frame->format = AV_PIX_FMT_RGB24;
  frame->width = picture.width;
  frame->height = picture.height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) throw Failure("cannot write PNG: out of memory");
  // BGRA rows to RGB rows.
  for (int y = 0; y < picture.height; ++y) {
    const std::uint8_t* in =
        picture.pixels.data() + static_cast<std::ptrdiff_t>(y) * picture.bytesPerRow;
    std::uint8_t* out = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
    for (int x = 0; x < picture.width; ++x, in += 4, out += 3) {
      out[0] = in[2];
      out[1] = in[1];
      out[2] = in[0];
    }
  }
  if (avcodec_send_frame(context.get(), frame.get()) < 0 ||
      avcodec_send_frame(context.get(), nullptr) < 0 ||
      avcodec_receive_packet(context.get(), packet.get()) < 0) {
    throw Failure("cannot write PNG: encoding failed");
  }
  return protocol::Bytes(packet->data, packet->data + packet->size);
}

}  // namespace lumora::cli
