#include "services/screen/codec_session.h"

#include "protocol/annex_b.h"
#include "services/screen/bit_rate_rules.h"
#include "services/screen/encoder_error.h"

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <mutex>

namespace lumora::services::screen {
namespace {

void throwIfFailed(int status) {
  if (status < 0) throw EncoderError::sessionCreateFailed(status);
}

std::string describe(int status) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(status, text, sizeof text);
  return text;
}

// Hands the packet in `packet` to `onPacket` and releases it however that returns.
class PacketRelease {
 public:
  explicit PacketRelease(AVPacket* packet) : packet_(packet) {}
  ~PacketRelease() { av_packet_unref(packet_); }
  PacketRelease(const PacketRelease&) = delete;
  PacketRelease& operator=(const PacketRelease&) = delete;

 private:
  AVPacket* packet_;
};

}  // namespace

void CodecSession::prepareCommon(const EncoderSettings& settings) {
  // x264 reports every session's statistics at info level on stderr, which is the agent's
  // error stream; keep FFmpeg to real errors (a process that wants more can raise it after).
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
  });
  keyFrameIntervalMillis_ =
      static_cast<std::int64_t>(std::max(settings.keyFrameIntervalSeconds, 1)) * 1000;
  packet_.reset(av_packet_alloc());
  if (!packet_) throw EncoderError::sessionCreateFailed(AVERROR(ENOMEM));
}

std::unique_ptr<CodecSession> CodecSession::open(const EncoderSettings& settings, int sourceWidth,
                                                 int sourceHeight) {
  std::unique_ptr<CodecSession> session(new CodecSession(sourceWidth, sourceHeight));
  session->prepareCommon(settings);

  using Encoder = EncoderSettings::Encoder;
  if (settings.encoder == Encoder::software) {
    session->startSoftware(settings, ParameterSets::inBand);
    return session;
  }
  if (::access(kRenderNode, R_OK | W_OK) != 0) {
    if (settings.encoder == Encoder::vaapi) {
      throw EncoderError::sessionCreateFailed(AVERROR(errno));
    }
    session->startSoftware(settings, ParameterSets::inBand);
    return session;
  }
  try {
    session->startHardware(settings);
  } catch (const EncoderError& e) {
    if (settings.encoder == Encoder::vaapi) throw;
    session->choice_.hardwareFailure = describe(e.status());
    session->context_.reset();
    session->hardwareFrames_.reset();
    session->converter_.reset();
    session->startSoftware(settings, ParameterSets::inBand);
  }
  return session;
}

std::unique_ptr<CodecSession> CodecSession::openSoftware(const EncoderSettings& settings,
                                                         int sourceWidth, int sourceHeight,
                                                         ParameterSets parameterSets) {
  std::unique_ptr<CodecSession> session(new CodecSession(sourceWidth, sourceHeight));
  session->prepareCommon(settings);
  session->startSoftware(settings, parameterSets);
  return session;
}

std::vector<protocol::ByteView> CodecSession::outOfBandParameterSets() const {
  if (context_->extradata == nullptr || context_->extradata_size <= 0) return {};
  return protocol::splitAnnexB(
      {context_->extradata, static_cast<std::size_t>(context_->extradata_size)});
}

CodecSession::~CodecSession() = default;

void CodecSession::applyRateAndStructure(const EncoderSettings& settings,
                                         PictureConverter::Size size,
                                         ParameterSets parameterSets) {
  AVCodecContext& c = *context_;
  const int fps = std::max(settings.fps, 1);
  c.width = size.width;
  c.height = size.height;
  // Capture times in milliseconds are the pts; the rate control follows them, not frame counts.
  c.time_base = AVRational{1, 1000};
  c.framerate = AVRational{fps, 1};
  c.gop_size = static_cast<int>(std::min<std::int64_t>(
      static_cast<std::int64_t>(fps) * std::max(settings.keyFrameIntervalSeconds, 1), INT_MAX));
  c.max_b_frames = 0;
  c.profile = FF_PROFILE_H264_HIGH;
  const RateControl rate = rateControlFor(settings, size.width, size.height);
  c.bit_rate = rate.averageBitRate;
  if (rate.peakBitRate > 0) {
    c.rc_max_rate = rate.peakBitRate;
    c.rc_buffer_size = static_cast<int>(rate.peakBitRate);  // one second at the peak
  }
  if (parameterSets == ParameterSets::outOfBand) {
    c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  } else {
    c.flags &= ~AV_CODEC_FLAG_GLOBAL_HEADER;
  }
}

void CodecSession::startSoftware(const EncoderSettings& settings, ParameterSets parameterSets) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) throw EncoderError::sessionCreateFailed(AVERROR_ENCODER_NOT_FOUND);
  converter_ = std::make_unique<PictureConverter>(sourceWidth_, sourceHeight_, AV_PIX_FMT_YUV420P);
  context_.reset(avcodec_alloc_context3(codec));
  if (!context_) throw EncoderError::sessionCreateFailed(AVERROR(ENOMEM));
  applyRateAndStructure(settings, converter_->size(), parameterSets);
  context_->pix_fmt = AV_PIX_FMT_YUV420P;
  // Let x264 choose; under zerolatency it splits each picture into slices across threads, so
  // threading adds no delay.
  context_->thread_count = 0;
  void* options = context_->priv_data;
  throwIfFailed(av_opt_set(options, "preset", settings.preset.c_str(), 0));
  throwIfFailed(av_opt_set(options, "tune", "zerolatency", 0));
  throwIfFailed(av_opt_set(options, "profile", "high", 0));
  // x264 signals the lowest profile its tools need; the 8×8 transform is what makes a stream
  // High, and it also helps on text. Fast presets leave it off otherwise.
  throwIfFailed(av_opt_set(options, "8x8dct", "1", 0));
  // A picture we force to be a key frame must be an IDR one, not a mere I picture.
  throwIfFailed(av_opt_set(options, "forced-idr", "1", 0));
  throwIfFailed(avcodec_open2(context_.get(), codec, nullptr));
  choice_.encoderName = codec->name;
}

void CodecSession::startHardware(const EncoderSettings& settings) {
  const AVCodec* codec = avcodec_find_encoder_by_name("h264_vaapi");
  if (!codec) throw EncoderError::sessionCreateFailed(AVERROR_ENCODER_NOT_FOUND);
  AVBufferRef* device = nullptr;
  throwIfFailed(av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, kRenderNode, nullptr, 0));
  const media::BufferPtr deviceRef(device);

  converter_ = std::make_unique<PictureConverter>(sourceWidth_, sourceHeight_, AV_PIX_FMT_NV12);
  const PictureConverter::Size size = converter_->size();
  media::BufferPtr frames(av_hwframe_ctx_alloc(device));
  if (!frames) throw EncoderError::sessionCreateFailed(AVERROR(ENOMEM));
  auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
  framesContext->format = AV_PIX_FMT_VAAPI;
  framesContext->sw_format = AV_PIX_FMT_NV12;
  framesContext->width = size.width;
  framesContext->height = size.height;
  throwIfFailed(av_hwframe_ctx_init(frames.get()));

  context_.reset(avcodec_alloc_context3(codec));
  if (!context_) throw EncoderError::sessionCreateFailed(AVERROR(ENOMEM));
  applyRateAndStructure(settings, size, ParameterSets::outOfBand);
  context_->pix_fmt = AV_PIX_FMT_VAAPI;
  context_->hw_frames_ctx = av_buffer_ref(frames.get());
  if (!context_->hw_frames_ctx) throw EncoderError::sessionCreateFailed(AVERROR(ENOMEM));
  // One picture in flight: each frame's packet is ready before the next frame comes.
  av_opt_set(context_->priv_data, "async_depth", "1", 0);
  throwIfFailed(avcodec_open2(context_.get(), codec, nullptr));
  upload_.reset(av_frame_alloc());
  if (!upload_) throw EncoderError::sessionCreateFailed(AVERROR(ENOMEM));
  hardwareFrames_ = std::move(frames);
  choice_.encoderName = codec->name;
}

void CodecSession::encode(std::int64_t pts, bool keyFrame,
                          const std::function<void(const AVPacket&)>& onPacket) {
  if (!converter_->hasPicture()) throw EncoderError::notPrepared();
  AVFrame* input = converter_->picture();
  if (hardwareFrames_) {
    av_frame_unref(upload_.get());
    int status = av_hwframe_get_buffer(hardwareFrames_.get(), upload_.get(), 0);
    if (status >= 0) status = av_hwframe_transfer_data(upload_.get(), input, 0);
    if (status < 0) throw EncoderError::encodeFailed(status);
    input = upload_.get();
  }
  input->pts = pts;
  input->pict_type = keyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  int status = avcodec_send_frame(context_.get(), input);
  if (status == AVERROR(EAGAIN)) {  // output still queued: take it, then the frame fits
    if (const int drained = drain(onPacket); drained < 0) throw EncoderError::encodeFailed(drained);
    status = avcodec_send_frame(context_.get(), input);
  }
  if (status < 0) throw EncoderError::encodeFailed(status);
  if (const int drained = drain(onPacket); drained < 0) throw EncoderError::encodeFailed(drained);
}

void CodecSession::flush(const std::function<void(const AVPacket&)>& onPacket) {
  if (avcodec_send_frame(context_.get(), nullptr) < 0) return;  // already ended
  drain(onPacket);
}

int CodecSession::drain(const std::function<void(const AVPacket&)>& onPacket) {
  for (;;) {
    const int status = avcodec_receive_packet(context_.get(), packet_.get());
    if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return 0;
    if (status < 0) return status;
    const PacketRelease release(packet_.get());
    onPacket(*packet_);
  }
}

}  // namespace lumora::services::screen
