#pragma once

#include "core/agent_log.h"
#include "core/agent_service.h"
#include "platform/display_directory.h"
#include "platform/frame_source.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/strand.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace lumora::services::screen {

// Makes a frame source for (maxWidth, maxHeight, displayID, fps); the runtime passes the
// platform's, tests a fake.
using FrameSourceFactory = std::function<std::unique_ptr<platform::FrameSource>(
    std::optional<int>, std::optional<int>, std::optional<std::uint32_t>, int)>;

// Everything that looks at the displays: the list the peer sees and one still picture.
//
// Operations run one at a time on the service's strand and may be awaited from any executor.
// captureMainDisplay() blocks a worker of the pool until the first frame arrives (bounded by
// `stillTimeout`), so it must not be awaited from a strand the frame source itself needs.
class ScreenService : public core::AgentService {
 public:
  ScreenService(boost::asio::any_io_executor executor,
                std::shared_ptr<platform::DisplayDirectory> displays, FrameSourceFactory makeSource,
                std::chrono::milliseconds stillTimeout = std::chrono::seconds(5));

  std::string name() const override { return "screen-service"; }
  boost::asio::awaitable<void> start() override;
  boost::asio::awaitable<void> stop() override;

  // In the platform's order; throws the platform's error when it cannot be asked.
  boost::asio::awaitable<std::vector<platform::DisplayDescriptor>> listDisplays();
  // The first display at its own size; throws ScreenError::noDisplay, or the capture error.
  boost::asio::awaitable<platform::PixelBuffer> captureMainDisplay();

 private:
  platform::PixelBuffer captureStill();

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  std::shared_ptr<platform::DisplayDirectory> displays_;
  FrameSourceFactory makeSource_;
  std::chrono::milliseconds stillTimeout_;
  core::AgentLog log_{"screen"};
};

}  // namespace lumora::services::screen
