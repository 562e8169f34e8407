#include "transport/stream_coordinator.h"

#include <boost/asio/post.hpp>

#include "core/run_on.h"
#include "services/screen/encoded_video_frame.h"
#include "services/screen/screen_streamer.h"

namespace lumora::transport {

namespace asio = boost::asio;
using services::screen::EncodedVideoFrame;
using services::screen::ScreenStreamer;

std::shared_ptr<StreamCoordinator> StreamCoordinator::make(
    asio::any_io_executor workExecutor, SourceFactory makeSource,
    std::vector<std::shared_ptr<MediaSink>> sinks,
    services::screen::EncoderSettings encoderSettings, Options options) {
  return std::shared_ptr<StreamCoordinator>(
      new StreamCoordinator(std::move(workExecutor), std::move(makeSource), std::move(sinks),
                            std::move(encoderSettings), options));
}

StreamCoordinator::StreamCoordinator(asio::any_io_executor workExecutor, SourceFactory makeSource,
                                     std::vector<std::shared_ptr<MediaSink>> sinks,
                                     services::screen::EncoderSettings encoderSettings,
                                     Options options)
    : strand_(asio::make_strand(workExecutor)),
      makeSource_(std::move(makeSource)),
      sinks_(std::move(sinks)),
      encoderSettings_(std::move(encoderSettings)),
      options_(options),
      idleStop_(strand_) {}

StreamCoordinator::~StreamCoordinator() {
  // Nothing else refers to us any more, so the strand's state is ours to touch.
  if (current_) current_->stop();
}

asio::awaitable<void> StreamCoordinator::startStream(protocol::CaptureFrameRequest request) {
  auto work = [self = shared_from_this(), request] { self->startOnStrand(request); };
  co_await core::runOn(strand_, std::move(work));
}

asio::awaitable<void> StreamCoordinator::stopStream() {
  auto work = [self = shared_from_this()] { self->stopOnStrand(); };
  co_await core::runOn(strand_, std::move(work));
}

void StreamCoordinator::startOnStrand(const protocol::CaptureFrameRequest& request) {
  stopOnStrand();
  // The streamer is kept even if it fails to start, so the next stop or start releases it.
  current_ = std::make_unique<ScreenStreamer>(makeSource_(request));
  std::weak_ptr<const StreamCoordinator> weak = weak_from_this();
  current_->start(encoderSettings_, [weak](const EncodedVideoFrame& encoded) {
    if (auto self = weak.lock()) self->deliver(encoded);
  });
  streaming_ = true;
  if (receivers_ == 0) armIdleStop();
}

void StreamCoordinator::stopOnStrand() {
  idleStop_.cancel();
  std::unique_ptr<ScreenStreamer> streamer = std::move(current_);
  streaming_ = false;
  if (streamer) streamer->stop();
}

void StreamCoordinator::deliver(const EncodedVideoFrame& encoded) const {
  protocol::MediaFrame frame;
  frame.meta.frameID = encoded.frameID;
  frame.meta.width = encoded.width;
  frame.meta.height = encoded.height;
  frame.meta.codec = protocol::VideoCodec::h264;
  frame.meta.isKeyframe = encoded.isKeyframe;
  frame.meta.byteCount = static_cast<std::int64_t>(encoded.bytes().size());
  frame.meta.presentationTimeMillis = encoded.presentationTimeMillis;
  frame.payload = encoded.bytes();
  for (const auto& sink : sinks_) sink->broadcast(frame);
}

void StreamCoordinator::requestKeyFrame() {
  if (keyFramePending_.exchange(true)) return;
  asio::post(strand_, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->keyFramePending_ = false;
    if (self->current_) self->current_->requestKeyFrame();
  });
}

void StreamCoordinator::receiverCountChanged(std::size_t count) {
  asio::post(strand_, [weak = weak_from_this(), count] {
    auto self = weak.lock();
    if (!self) return;
    self->receivers_ = count;
    if (count > 0) {
      self->idleStop_.cancel();
    } else if (self->current_) {
      self->armIdleStop();
    }
  });
}

void StreamCoordinator::armIdleStop() {
  idleStop_.expires_after(options_.idleStopAfter);
  idleStop_.async_wait([weak = weak_from_this()](boost::system::error_code ec) {
    auto self = weak.lock();
    if (ec || !self || self->receivers_ > 0 || !self->current_) return;
    const auto idle = self->options_.idleStopAfter;
    self->log_.info("stopping the screen stream: no media receiver for " +
                    (idle.count() % 1000 == 0 ? std::to_string(idle.count() / 1000) + " s"
                                              : std::to_string(idle.count()) + " ms"));
    self->stopOnStrand();
  });
}

}  // namespace lumora::transport
