#include "services/screen/screen_streamer.h"

#include <exception>
#include <string>

namespace lumora::services::screen {
namespace {

// The clock the capture sources stamp frames with.
std::int64_t steadyMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ScreenStreamer::ScreenStreamer(std::shared_ptr<platform::FrameSource> source,
                               std::chrono::milliseconds idleAfter)
    : source_(std::move(source)), idleAfter_(idleAfter) {}

ScreenStreamer::~ScreenStreamer() { stop(); }

void ScreenStreamer::start(const H264Encoder::Settings& settings, Sink sink) {
  std::lock_guard lock(mutex_);
  if (running_.load()) return;
  encoder_.configure(settings);
  encoder_.setOnEncoded(std::move(sink));
  lastFrameAt_.store(0);
  try {
    source_->start([this](const platform::PixelBuffer& frame, std::uint64_t timeMillis) {
      onFrame(frame, timeMillis);
    });
  } catch (...) {
    encoder_.finish();
    encoder_.setOnEncoded(nullptr);
    throw;
  }
  running_.store(true);
  log_.info("screen streamer started (adaptive resolution, bitRate=" +
            (settings.bitRate ? std::to_string(*settings.bitRate) + "bps" : std::string("auto")) +
            ")");
}

void ScreenStreamer::stop() {
  std::lock_guard lock(mutex_);
  if (!running_.load()) return;
  source_->stop();
  try {
    encoder_.finish();
  } catch (const std::exception& e) {
    log_.debug(std::string("flush at stop failed: ") + e.what());
  }
  encoder_.setOnEncoded(nullptr);
  running_.store(false);
  log_.info("screen streamer stopped");
}

void ScreenStreamer::requestKeyFrame() {
  encoder_.requestKeyFrame();
  if (!running_.load()) return;
  const std::int64_t last = lastFrameAt_.load();
  const std::int64_t now = steadyMillis();
  if (last == 0 || now - last < idleAfter_.count()) return;  // a frame is on its way
  try {
    encoder_.repeatLastPicture(static_cast<std::uint64_t>(now));
  } catch (const std::exception& e) {
    log_.debug(std::string("key frame repeat failed: ") + e.what());
  }
}

void ScreenStreamer::onFrame(const platform::PixelBuffer& frame, std::uint64_t timeMillis) {
  lastFrameAt_.store(steadyMillis());
  try {
    encoder_.encode(frame, timeMillis);
  } catch (const std::exception& e) {
    // This frame is lost; the next one builds a session again if needed.
    log_.debug(std::string("frame dropped: ") + e.what());
  }
}

}  // namespace lumora::services::screen
