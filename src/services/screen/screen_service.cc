#include "services/screen/screen_service.h"

#include "core/run_on.h"
#include "platform/capture_error.h"
#include "services/screen/screen_error.h"

#include <condition_variable>
#include <mutex>
#include <utility>

namespace lumora::services::screen {

namespace asio = boost::asio;

ScreenService::ScreenService(asio::any_io_executor executor,
                             std::shared_ptr<platform::DisplayDirectory> displays,
                             FrameSourceFactory makeSource, std::chrono::milliseconds stillTimeout)
    : strand_(asio::make_strand(std::move(executor))),
      displays_(std::move(displays)),
      makeSource_(std::move(makeSource)),
      stillTimeout_(stillTimeout) {}

asio::awaitable<void> ScreenService::start() {
  co_await core::runOn(strand_, [this] { log_.info(name() + " started"); });
}

asio::awaitable<void> ScreenService::stop() {
  co_await core::runOn(strand_, [this] { log_.info(name() + " stopped"); });
}

asio::awaitable<std::vector<platform::DisplayDescriptor>> ScreenService::listDisplays() {
  co_return co_await core::runOn(strand_, [this] { return displays_->displays(); });
}

asio::awaitable<platform::PixelBuffer> ScreenService::captureMainDisplay() {
  co_return co_await core::runOn(strand_, [this] { return captureStill(); });
}

platform::PixelBuffer ScreenService::captureStill() {
  const auto list = displays_->displays();
  if (list.empty()) throw ScreenError(ScreenError::noDisplay);
  const platform::DisplayDescriptor& first = list.front();

  // Shared with the handler, which may still be running on the capture thread when we return.
  struct Still {
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<platform::PixelBuffer> frame;
  };
  auto still = std::make_shared<Still>();
  std::unique_ptr<platform::FrameSource> source =
      makeSource_(static_cast<int>(first.width), static_cast<int>(first.height), first.id, 30);
  source->start([still](const platform::PixelBuffer& frame, std::uint64_t) {
    std::lock_guard lock(still->mutex);
    if (!still->frame) still->frame = frame;
    still->arrived.notify_all();
  });
  std::optional<platform::PixelBuffer> frame;
  {
    std::unique_lock lock(still->mutex);
    still->arrived.wait_for(lock, stillTimeout_, [&] { return still->frame.has_value(); });
    frame = still->frame;
  }
  source->stop();
  if (!frame) {
    throw platform::CaptureError(platform::CaptureError::platformFailure,
                                 "no frame captured from display " + std::to_string(first.id));
  }
  return *frame;
}

}  // namespace lumora::services::screen
