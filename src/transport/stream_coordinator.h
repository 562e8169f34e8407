#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "core/agent_log.h"
#include "platform/frame_source.h"
#include "router/screen_stream_controller.h"
#include "services/screen/encoder_settings.h"
#include "transport/media_sink.h"

namespace lumora::services::screen {
class ScreenStreamer;
struct EncodedVideoFrame;
}  // namespace lumora::services::screen

namespace lumora::transport {

// Owns the one screen stream every peer sees: a start request captures the requested display
// and size, encodes it and hands each frame to every sink in order; a new start replaces the
// running stream for everyone. Start and stop requests are served one after another, never
// overlapping. A stream with no media receiver for `idleStopAfter` stops by itself, so a phone
// that vanished does not leave the desktop being captured.
//
// Created with make(); every operation may be called from any thread. Capture starts and stops
// block, so they run on a strand over the worker pool given.
class StreamCoordinator : public router::ScreenStreamController,
                          public std::enable_shared_from_this<StreamCoordinator> {
 public:
  using SourceFactory =
      std::function<std::shared_ptr<platform::FrameSource>(const protocol::CaptureFrameRequest&)>;
  struct Options {
    std::chrono::milliseconds idleStopAfter = std::chrono::seconds(30);
  };

  static std::shared_ptr<StreamCoordinator> make(boost::asio::any_io_executor workExecutor,
                                                 SourceFactory makeSource,
                                                 std::vector<std::shared_ptr<MediaSink>> sinks,
                                                 services::screen::EncoderSettings encoderSettings,
                                                 Options options);
  ~StreamCoordinator() override;

  // Stops whatever runs, then starts the new stream; throws the capture's or encoder's error.
  boost::asio::awaitable<void> startStream(protocol::CaptureFrameRequest request) override;
  // Nothing running is fine.
  boost::asio::awaitable<void> stopStream() override;

  // A receiver joined or fell behind and needs a key frame. Requests that pile up while one
  // is pending are served once.
  void requestKeyFrame();
  // The number of media receivers is now `count`.
  void receiverCountChanged(std::size_t count);

  bool isStreaming() const { return streaming_.load(); }

 private:
  StreamCoordinator(boost::asio::any_io_executor workExecutor, SourceFactory makeSource,
                    std::vector<std::shared_ptr<MediaSink>> sinks,
                    services::screen::EncoderSettings encoderSettings, Options options);

  // On the strand.
  void startOnStrand(const protocol::CaptureFrameRequest& request);
  void stopOnStrand();
  void armIdleStop();
  void deliver(const services::screen::EncodedVideoFrame& encoded) const;

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  SourceFactory makeSource_;
  const std::vector<std::shared_ptr<MediaSink>> sinks_;
  const services::screen::EncoderSettings encoderSettings_;
  const Options options_;
  core::AgentLog log_{"stream"};

  // Touched only on the strand.
  std::unique_ptr<services::screen::ScreenStreamer> current_;
  std::size_t receivers_ = 0;
  boost::asio::steady_timer idleStop_;

  std::atomic<bool> streaming_{false};
  std::atomic<bool> keyFramePending_{false};
};

}  // namespace lumora::transport
