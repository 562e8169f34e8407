#include "media/png_encoder.h"

#include "media/ffmpeg_handles.h"

namespace lumora::media {

std::optional<protocol::Bytes> encodePNG(const AVFrame& picture, AVPixelFormat stored) {
  const int width = picture.width;
  const int height = picture.height;
  ScalePtr scaler(sws_getContext(width, height, static_cast<AVPixelFormat>(picture.format), width,
                                 height, stored, SWS_BILINEAR, nullptr, nullptr, nullptr));
  FramePtr converted(av_frame_alloc());
  if (!scaler || !converted) return std::nullopt;
  converted->format = stored;
  converted->width = width;
  converted->height = height;
  if (av_frame_get_buffer(converted.get(), 0) < 0) return std::nullopt;
  if (sws_scale(scaler.get(), picture.data, picture.linesize, 0, height, converted->data,
                converted->linesize) != height) {
    return std::nullopt;
  }

  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (codec == nullptr) return std::nullopt;
  CodecContextPtr context(avcodec_alloc_context3(codec));
  PacketPtr packet(av_packet_alloc());
  if (!context || !packet) return std::nullopt;
  context->width = width;
  context->height = height;
  context->pix_fmt = stored;
  context->time_base = {1, 1};
  if (avcodec_open2(context.get(), codec, nullptr) < 0 ||
      avcodec_send_frame(context.get(), converted.get()) < 0 ||
      avcodec_send_frame(context.get(), nullptr) < 0 ||
      avcodec_receive_packet(context.get(), packet.get()) < 0) {
    return std::nullopt;
  }
  return protocol::Bytes(packet->data, packet->data + packet->size);
}

std::optional<protocol::Bytes> encodePNG(const std::uint8_t* bgra, int width, int height,
                                         int bytesPerRow, AVPixelFormat stored) {
  FramePtr picture(av_frame_alloc());
  if (!picture) return std::nullopt;
  picture->format = AV_PIX_FMT_BGRA;
  picture->width = width;
  picture->height = height;
  picture->data[0] = const_cast<std::uint8_t*>(bgra);  // read only; the frame owns no buffer
  picture->linesize[0] = bytesPerRow;
  return encodePNG(*picture, stored);
}

}  // namespace lumora::media
