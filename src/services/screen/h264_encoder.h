#pragma once

#include "core/agent_log.h"
#include "platform/pixel_buffer.h"
#include "protocol/bytes.h"
#include "services/screen/encoded_video_frame.h"
#include "services/screen/encoder_error.h"
#include "services/screen/encoder_settings.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct AVPacket;

namespace lumora::services::screen {

class CodecSession;

// Turns BGRA frames into H.264 Annex B pictures, one EncodedVideoFrame per picture, every key
// frame led by its SPS and PPS so a viewer can start at any of them. SEI units are left out:
// nothing downstream reads them and x264's first one is half a kilobyte of option text.
//
// The size follows the frames: the session is built on the first frame and rebuilt whenever
// the frame size changes, so the next picture is a key frame with new parameter sets. Odd sides
// are encoded one pixel shorter (a side of 1 is doubled), see PictureConverter; the frame's
// width and height are the encoded ones.
//
// Threads: encode() runs the encoder on the calling thread (the capture thread) and calls the
// sink from it before returning; repeatLastPicture() and finish() do the same on theirs. These
// three, prepare() and setOnEncoded() are serialised by one lock, held while the sink runs, so
// the sink sees frames one at a time in frameID order and must not call them (a
// repeatLastPicture() from inside the sink returns false). requestKeyFrame(), configure() and
// settings() never wait for an encode and may be called from anywhere, the sink included.
class H264Encoder {
 public:
  using Settings = EncoderSettings;
  using Sink = std::function<void(const EncodedVideoFrame&)>;
  // Opens a codec session for (settings, width, height); CodecSession::open unless a test needs
  // a session of another kind.
  using SessionOpener =
      std::function<std::unique_ptr<CodecSession>(const Settings&, int width, int height)>;

  explicit H264Encoder(Settings settings = {}, SessionOpener openSession = nullptr);
  ~H264Encoder();
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;

  // Takes effect at the next session build.
  void configure(Settings settings);
  Settings settings() const;
  void setOnEncoded(Sink sink);

  // Builds a session for frames of width × height now rather than at the first frame. Throws
  // EncoderError::sessionCreateFailed.
  void prepare(int width, int height);
  // Encodes one frame taken at `presentationTimeMillis` (steady clock); the picture reaches the
  // sink before this returns. Throws EncoderError: sessionCreateFailed, encodeFailed.
  void encode(const platform::PixelBuffer& frame, std::uint64_t presentationTimeMillis);
  // Passes the pictures still inside the encoder to the sink and drops the session (and with it
  // the last picture). The frame counter, settings and sink stay.
  void finish();

  // The next picture encoded (a new frame or a repeat) is an IDR key frame.
  void requestKeyFrame();
  // Encodes the last converted picture again at `presentationTimeMillis`, as a key frame if one
  // is requested: for an idle screen, whose source delivers nothing new. False when there is no
  // picture (no frame since the session was built, or after finish()). Throws encodeFailed.
  bool repeatLastPicture(std::uint64_t presentationTimeMillis);

  // The codec in use ("libx264", "h264_vaapi"); empty without a session.
  std::string encoderName() const;

  static int recommendedBitRate(int width, int height, int fps);
  static std::optional<std::array<double, 2>> dataRateLimits(int averageBitRate,
                                                             double peakMultiplier);

 private:
  // Marks the lock's holder so the sink cannot deadlock through repeatLastPicture().
  class Holder;

  void prepareLocked(int width, int height);
  void finishLocked();
  void resetSessionLocked();
  void submitLocked(std::uint64_t presentationTimeMillis);
  void handlePacket(const AVPacket& packet);
  // Keeps the SPS and PPS among `units` for the key frames to come.
  void rememberParameterSets(const std::vector<protocol::ByteView>& units);

  const SessionOpener openSession_;
  mutable std::mutex mutex_;  // guards everything below up to settingsMutex_
  std::atomic<std::thread::id> holder_{};
  std::unique_ptr<CodecSession> session_;
  int width_ = 0;  // the session's picture size
  int height_ = 0;
  std::uint64_t frameCounter_ = 0;
  Sink onEncoded_;
  // Of the current session: last pts handed to the codec, last key frame's pts, the parameter
  // sets it keeps out of band or last sent in band, and the capture time of each picture still
  // inside the codec.
  std::optional<std::int64_t> lastPts_;
  std::optional<std::int64_t> lastKeyPts_;
  std::vector<protocol::Bytes> sequenceSets_;
  std::vector<protocol::Bytes> pictureSets_;
  std::deque<std::pair<std::int64_t, std::uint64_t>> pending_;

  mutable std::mutex settingsMutex_;  // guards settings_ and encoderName_
  Settings settings_;
  std::string encoderName_;
  std::atomic<bool> keyFrameRequested_{false};

  core::AgentLog log_{"encoder"};
};

}  // namespace lumora::services::screen
