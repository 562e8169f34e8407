#pragma once

#include "platform/pixel_buffer.h"
#include "services/screen/encoder_settings.h"
#include "media/ffmpeg_handles.h"
#include "services/screen/picture_converter.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/bytes.h"

namespace lumora::services::screen {

// One open H.264 encoder for frames of one size: the settings mapped onto libavcodec, the
// BGRA → 4:2:0 conversion and, for hardware encoders, the upload to the device.
//
// The stream it produces is Annex B, real time (no look-ahead, no B-frames: each picture comes
// out as soon as it goes in), High profile, time base 1/1000 s. x264 keeps the parameter sets in
// band; a hardware encoder (VAAPI on the first render node) is asked for them out of band, since
// not every driver writes them into the stream, and the encoder puts them back in front of each
// key frame. Which of the two is used follows EncoderSettings::encoder.
//
// Not thread-safe; H264Encoder serialises use.
class CodecSession {
 public:
  static constexpr const char* kRenderNode = "/dev/dri/renderD128";

  // What open() settled on, for the log.
  struct Choice {
    std::string encoderName;      // "libx264" or "h264_vaapi"
    std::string hardwareFailure;  // why hardware was passed over; empty when not tried
  };

  // Where a session's SPS and PPS go: into the packets, or into the codec's extradata only.
  enum class ParameterSets { inBand, outOfBand };

  // Throws EncoderError::sessionCreateFailed with the library's status.
  static std::unique_ptr<CodecSession> open(const EncoderSettings& settings, int sourceWidth,
                                            int sourceHeight);
  // An x264 session whatever the settings' choice of encoder.
  static std::unique_ptr<CodecSession> openSoftware(const EncoderSettings& settings,
                                                    int sourceWidth, int sourceHeight,
                                                    ParameterSets parameterSets);

  ~CodecSession();
  CodecSession(const CodecSession&) = delete;
  CodecSession& operator=(const CodecSession&) = delete;

  const Choice& choice() const { return choice_; }
  bool isHardware() const { return hardwareFrames_ != nullptr; }
  int sourceWidth() const { return sourceWidth_; }
  int sourceHeight() const { return sourceHeight_; }
  PictureConverter::Size size() const { return converter_->size(); }
  // Longest time between key frames, in the stream's milliseconds; 0 sets no limit by time.
  std::int64_t keyFrameIntervalMillis() const { return keyFrameIntervalMillis_; }
  const AVCodecContext& context() const { return *context_; }
  // The SPS and PPS the codec keeps out of band (its Annex B extradata); empty when it writes
  // them into the stream.
  std::vector<protocol::ByteView> outOfBandParameterSets() const;

  // Converts a frame of the source size into the current picture; throws encodeFailed.
  void convert(const platform::PixelBuffer& frame) { converter_->convert(frame); }
  bool hasPicture() const { return converter_->hasPicture(); }

  // Encodes the current picture at `pts` (milliseconds, strictly increasing), as an IDR picture
  // when `keyFrame`, and passes every packet that is ready to `onPacket`. Throws encodeFailed.
  void encode(std::int64_t pts, bool keyFrame,
              const std::function<void(const AVPacket&)>& onPacket);
  // Ends the stream and passes the packets still inside the encoder to `onPacket`.
  void flush(const std::function<void(const AVPacket&)>& onPacket);

 private:
  CodecSession(int sourceWidth, int sourceHeight)
      : sourceWidth_(sourceWidth), sourceHeight_(sourceHeight) {}
  void prepareCommon(const EncoderSettings& settings);
  void startSoftware(const EncoderSettings& settings, ParameterSets parameterSets);
  void startHardware(const EncoderSettings& settings);
  void applyRateAndStructure(const EncoderSettings& settings, PictureConverter::Size size,
                             ParameterSets parameterSets);
  int drain(const std::function<void(const AVPacket&)>& onPacket);

  int sourceWidth_;
  int sourceHeight_;
  std::int64_t keyFrameIntervalMillis_ = 0;
  Choice choice_;
  media::CodecContextPtr context_;
  media::BufferPtr hardwareFrames_;
  std::unique_ptr<PictureConverter> converter_;
  media::FramePtr upload_;
  media::PacketPtr packet_;
};

}  // namespace lumora::services::screen
