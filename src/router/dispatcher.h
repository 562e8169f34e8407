#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/agent_log.h"
#include "platform/display_directory.h"
#include "platform/input_injector.h"
#include "router/request_handler.h"
#include "router/screen_stream_controller.h"

namespace lumora::services {
class ClipboardService;
class FileService;
class TerminalService;
namespace input {
class InputService;
}
namespace screen {
class ScreenService;
}
}  // namespace lumora::services

namespace lumora::router {

// Turns each authenticated request into one service call and one reply. Normalised points are
// mapped onto the display being streamed, or the main display when none is.
//
// Requests from different connections are served concurrently (each service orders its own
// work); the one piece of state here, the streamed display, is guarded by a mutex. Never
// throws: every failure becomes an error reply.
class Dispatcher : public RequestHandler {
 public:
  struct Services {
    services::FileService* file = nullptr;
    services::TerminalService* terminal = nullptr;
    services::input::InputService* input = nullptr;
    services::screen::ScreenService* screen = nullptr;
    services::ClipboardService* clipboard = nullptr;
    std::shared_ptr<platform::DisplayDirectory> displays;
    // Absent: stream requests are refused.
    ScreenStreamController* screenStream = nullptr;
    // The shell for a terminal.run that names none.
    std::function<std::string()> defaultShell;
  };

  explicit Dispatcher(Services services);

  boost::asio::awaitable<protocol::Envelope> handle(protocol::Envelope request,
                                                    core::PeerID peer) override;
  // The same from and to bytes; undecodable bytes get a bad_request reply without correlation.
  boost::asio::awaitable<protocol::Bytes> handle(protocol::ByteView request,
                                                 core::PeerID peer = 0);

  // The normalised point on the streamed (else main) display, in global pixels.
  platform::ScreenPoint screenPoint(const protocol::Point& point);

 private:
  boost::asio::awaitable<protocol::Payload> route(const protocol::Envelope& request,
                                                  core::PeerID peer);
  boost::asio::awaitable<protocol::Payload> captureFrame(
      const protocol::CaptureFrameRequest& request);
  boost::asio::awaitable<protocol::Payload> setClipboard(const protocol::ClipboardContent& content);

  Services services_;
  core::AgentLog log_{"router"};
  std::mutex activeDisplayLock_;
  std::optional<std::uint32_t> activeDisplayID_;
};

}  // namespace lumora::router
