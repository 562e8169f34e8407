#pragma once

#include "core/agent_log.h"
#include "platform/frame_source.h"
#include "services/screen/h264_encoder.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace lumora::services::screen {

// One stream: a frame source feeding one H264Encoder whose pictures go to a sink. Every frame
// is encoded as it arrives on the source's capture thread and the sink runs there; a frame the
// encoder cannot take is lost and the next one tries again. There is no pacing or queueing of
// its own: the source sets the rate.
//
// Threads: start() and stop() are meant for one owner at a time and are serialised anyway;
// neither may be called from the sink. requestKeyFrame() and isRunning() may be called from any
// thread; a repeat it triggers runs the sink on the caller's thread, so the sink must be safe to
// call from any thread (it never runs twice at once). stop() flushes on its own thread too.
class ScreenStreamer {
 public:
  using Sink = H264Encoder::Sink;

  // How long the source must have been silent before a key frame request re-encodes the last
  // picture instead of waiting for the screen to change.
  static constexpr std::chrono::milliseconds kDefaultIdleAfter{200};

  explicit ScreenStreamer(std::shared_ptr<platform::FrameSource> source,
                          std::chrono::milliseconds idleAfter = kDefaultIdleAfter);
  // Stops a running stream.
  ~ScreenStreamer();
  ScreenStreamer(const ScreenStreamer&) = delete;
  ScreenStreamer& operator=(const ScreenStreamer&) = delete;

  // Configures the encoder and starts the source. Does nothing when running; throws the
  // source's error, and the streamer stays stopped.
  void start(const H264Encoder::Settings& settings, Sink sink);
  // Stops the source, then flushes the encoder (what is still inside reaches the sink) and
  // lets go of the sink. Does nothing when not running.
  void stop();
  bool isRunning() const { return running_.load(); }

  // Makes the next picture a key frame. When the source has been silent for a while (an idle
  // screen delivers nothing) the last picture is encoded again at once, so a viewer that just
  // joined or lost a frame gets its key frame without waiting for the screen to change.
  void requestKeyFrame();

 private:
  void onFrame(const platform::PixelBuffer& frame, std::uint64_t timeMillis);

  const std::shared_ptr<platform::FrameSource> source_;
  const std::chrono::milliseconds idleAfter_;
  H264Encoder encoder_;
  core::AgentLog log_{"streamer"};
  std::mutex mutex_;  // serialises start() and stop()
  std::atomic<bool> running_{false};
  // Steady-clock milliseconds when the source last delivered a frame; 0 before the first.
  std::atomic<std::int64_t> lastFrameAt_{0};
};

}  // namespace lumora::services::screen
