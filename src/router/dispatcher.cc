#include "router/dispatcher.h"

#include <boost/asio/this_coro.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "services/clipboard/clipboard_service.h"
#include "services/file/file_service.h"
#include "services/input/input_service.h"
#include "services/screen/screen_service.h"
#include "services/terminal/terminal_service.h"

namespace lumora::router {

using protocol::Envelope;
using protocol::MessageType;
using protocol::Payload;
using protocol::ProtocolError;

namespace {

// A reply the dispatcher chose to give instead of the operation's result.
struct Refusal {
  ProtocolError error;
};

bool isInput(MessageType type) {
  switch (type) {
    case MessageType::inputMouseMove:
    case MessageType::inputMouseMoveBy:
    case MessageType::inputClick:
    case MessageType::inputKey:
    case MessageType::inputText:
    case MessageType::inputScroll:
    case MessageType::inputDrag:
    case MessageType::inputMouseButton:
      return true;
    default:
      return false;
  }
}

std::uint32_t buttonNumber(protocol::MouseButton button) {
  switch (button) {
    case protocol::MouseButton::left:
      return 0;
    case protocol::MouseButton::right:
      return 1;
    case protocol::MouseButton::middle:
      return 2;
  }
  return 0;
}

// Scroll amounts arrive as doubles; the fraction is dropped toward zero. Values no 32-bit
// scroll can carry are refused rather than wrapped.
std::int32_t scrollAmount(double delta) {
  if (!std::isfinite(delta) || std::trunc(delta) < std::numeric_limits<std::int32_t>::min() ||
      std::trunc(delta) > std::numeric_limits<std::int32_t>::max()) {
    throw Refusal{{"bad_request", "scroll delta out of range"}};
  }
  return static_cast<std::int32_t>(std::trunc(delta));
}

double clampUnit(double value) { return value <= 0 ? 0 : (value > 1 ? 1 : value); }

}  // namespace

Dispatcher::Dispatcher(Services services) : services_(std::move(services)) {}

platform::ScreenPoint Dispatcher::screenPoint(const protocol::Point& point) {
  std::optional<std::uint32_t> display;
  {
    std::lock_guard guard(activeDisplayLock_);
    display = activeDisplayID_;
  }
  if (!display) display = services_.displays->mainDisplayID();
  std::optional<platform::DisplayRect> bounds;
  if (display) bounds = services_.displays->bounds(*display);
  // A display that went away leaves the point on the main one.
  if (!bounds) {
    if (auto main = services_.displays->mainDisplayID()) bounds = services_.displays->bounds(*main);
  }
  if (!bounds) bounds = platform::DisplayRect{};
  // NaN compares false everywhere and would pass the clamp untouched.
  const double x = std::isnan(point.x) ? 0 : clampUnit(point.x);
  const double y = std::isnan(point.y) ? 0 : clampUnit(point.y);
  return {bounds->x + x * bounds->width, bounds->y + y * bounds->height};
}

boost::asio::awaitable<Envelope> Dispatcher::handle(Envelope request, core::PeerID peer) {
  const std::string type(protocol::rawValue(request.payload.messageType()));
  const auto abandoned = co_await boost::asio::this_coro::cancellation_state;
  try {
    Payload reply = co_await route(request, peer);
    co_return Envelope::response(request.id, std::move(reply));
  } catch (const Refusal& refusal) {
    co_return Envelope::response(request.id, refusal.error);
  } catch (const std::exception& e) {
    // A request its connection abandoned (the peer left) ends here; nobody waits for an answer.
    if (abandoned.cancelled() != boost::asio::cancellation_type::none) throw;
    log_.error("dispatch failed for " + type + ": " + e.what());
    co_return Envelope::response(request.id, ProtocolError{"internal", e.what()});
  }
}

boost::asio::awaitable<protocol::Bytes> Dispatcher::handle(protocol::ByteView bytes,
                                                           core::PeerID peer) {
  auto request = Envelope::decode(bytes);
  if (!request) {
    co_return Envelope::request(
        ProtocolError{"bad_request", "decode failed: " + request.error().description})
        .encode();
  }
  Envelope reply = co_await handle(std::move(request).value(), peer);
  co_return reply.encode();
}

boost::asio::awaitable<Payload> Dispatcher::route(const Envelope& request, core::PeerID peer) {
  const Payload& payload = request.payload;
  if (isInput(payload.messageType())) {
    // Said rather than dropped, so that a phone can tell its user why nothing moves.
    if (auto why = co_await services_.input->whyNoRemoteInput()) {
      throw Refusal{{"unavailable", *why}};
    }
  }
  switch (payload.messageType()) {
    case MessageType::fileList: {
      const auto& path = payload.get<MessageType::fileList>()->path;
      auto entries = co_await services_.file->list(path);
      co_return protocol::FileListResult{path, std::move(entries)};
    }
    case MessageType::fileMove: {
      const auto& move = *payload.get<MessageType::fileMove>();
      co_await services_.file->move(move.source, move.destination);
      co_return protocol::Ack{};
    }
    case MessageType::fileRemove:
      co_await services_.file->remove(payload.get<MessageType::fileRemove>()->path);
      co_return protocol::Ack{};
    case MessageType::fileDownload: {
      const auto& download = *payload.get<MessageType::fileDownload>();
      auto chunk =
          co_await services_.file->readChunk(download.path, download.offset, download.length);
      co_return protocol::FileDownloadResult{download.path, std::move(chunk.data), download.offset,
                                             chunk.totalSize, chunk.eof};
    }
    case MessageType::fileUpload: {
      const auto& upload = *payload.get<MessageType::fileUpload>();
      co_await services_.file->writeChunk(upload.path, upload.data, upload.offset, upload.isFinal);
      co_return protocol::Ack{};
    }
    case MessageType::terminalRun: {
      const auto& run = *payload.get<MessageType::terminalRun>();
      std::string shell = run.shell                ? *run.shell
                          : services_.defaultShell ? services_.defaultShell()
                                                   : std::string("/bin/sh");
      auto result = co_await services_.terminal->run(run.command, std::move(shell));
      co_return protocol::TerminalRunResult{result.exitCode, std::move(result.stdout),
                                            std::move(result.stderr)};
    }
    case MessageType::inputMouseMove:
      co_await services_.input->moveMouse(
          screenPoint(payload.get<MessageType::inputMouseMove>()->position));
      co_return protocol::Ack{};
    case MessageType::inputMouseMoveBy: {
      const auto& by = *payload.get<MessageType::inputMouseMoveBy>();
      co_await services_.input->moveMouseBy(by.deltaX, by.deltaY);
      co_return protocol::Ack{};
    }
    case MessageType::inputClick: {
      const auto& click = *payload.get<MessageType::inputClick>();
      if (click.position) {
        co_await services_.input->click(screenPoint(*click.position), buttonNumber(click.button));
      } else {
        co_await services_.input->clickAtCursor(buttonNumber(click.button));
      }
      co_return protocol::Ack{};
    }
    case MessageType::inputKey: {
      const auto& key = *payload.get<MessageType::inputKey>();
      if (key.action == protocol::KeyAction::press) {
        co_await services_.input->pressKey(key.keyCode);
      } else {
        co_await services_.input->key(key.keyCode, key.action == protocol::KeyAction::down);
      }
      co_return protocol::Ack{};
    }
    case MessageType::inputText:
      co_await services_.input->typeText(payload.get<MessageType::inputText>()->text);
      co_return protocol::Ack{};
    case MessageType::inputScroll: {
      const auto& scroll = *payload.get<MessageType::inputScroll>();
      const std::int32_t dx = scrollAmount(scroll.deltaX);
      const std::int32_t dy = scrollAmount(scroll.deltaY);
      co_await services_.input->scroll(dx, dy);
      co_return protocol::Ack{};
    }
    case MessageType::inputDrag: {
      const auto& drag = *payload.get<MessageType::inputDrag>();
      const auto from = screenPoint(drag.from);
      const auto to = screenPoint(drag.to);
      co_await services_.input->drag(from, to, buttonNumber(drag.button));
      co_return protocol::Ack{};
    }
    case MessageType::inputMouseButton: {
      const auto& press = *payload.get<MessageType::inputMouseButton>();
      if (press.position) co_await services_.input->moveMouse(screenPoint(*press.position));
      co_await services_.input->setButton(buttonNumber(press.button), press.down, peer);
      co_return protocol::Ack{};
    }
    case MessageType::screenListDisplays: {
      auto displays = co_await services_.screen->listDisplays();
      protocol::DisplayListResult result;
      for (auto& display : displays) {
        result.displays.push_back(protocol::DisplayInfo{
            display.id, std::move(display.name), display.width, display.height, display.isMain});
      }
      co_return result;
    }
    case MessageType::screenCaptureFrame:
      co_return co_await captureFrame(*payload.get<MessageType::screenCaptureFrame>());
    case MessageType::clipboardGet: {
      auto snapshot = co_await services_.clipboard->read();
      using Snapshot = services::ClipboardSnapshot;
      protocol::ClipboardContent content;
      if (auto* text = std::get_if<Snapshot::Text>(&snapshot.value)) {
        content = protocol::ClipboardContent::makeText(std::move(text->text));
      } else if (auto* image = std::get_if<Snapshot::Image>(&snapshot.value)) {
        content = protocol::ClipboardContent::makeImage(std::move(image->png));
      } else if (auto* file = std::get_if<Snapshot::File>(&snapshot.value)) {
        content =
            protocol::ClipboardContent::makeFile(std::move(file->name), std::move(file->data));
      }
      co_return Payload::clipboardContent(std::move(content));
    }
    case MessageType::clipboardSet:
      co_return co_await setClipboard(*payload.get<MessageType::clipboardSet>());
    case MessageType::ping:
      co_return protocol::Ack{};
    default:
      throw Refusal{
          {"unexpected_message", "agent received a response-type payload: " +
                                     std::string(protocol::rawValue(payload.messageType()))}};
  }
}

boost::asio::awaitable<Payload> Dispatcher::captureFrame(
    const protocol::CaptureFrameRequest& request) {
  if (services_.screenStream == nullptr) {
    throw Refusal{{"unsupported", "screen streaming controller not configured"}};
  }
  switch (request.mode) {
    case protocol::CaptureMode::single:
      throw Refusal{{"unsupported", "single-frame mode not supported; use startStream"}};
    case protocol::CaptureMode::startStream: {
      co_await services_.screenStream->startStream(request);
      std::lock_guard guard(activeDisplayLock_);
      activeDisplayID_ = request.displayID;
      break;
    }
    case protocol::CaptureMode::stopStream: {
      co_await services_.screenStream->stopStream();
      std::lock_guard guard(activeDisplayLock_);
      activeDisplayID_.reset();
      break;
    }
  }
  co_return protocol::Ack{};
}

boost::asio::awaitable<Payload> Dispatcher::setClipboard(
    const protocol::ClipboardContent& content) {
  using Kind = protocol::ClipboardContent::Kind;
  if (content.kind == Kind::text && content.text) {
    co_await services_.clipboard->writeText(*content.text);
  } else if (content.kind == Kind::image && content.imageData) {
    co_await services_.clipboard->writeImage(*content.imageData);
  } else if (content.kind == Kind::file && content.fileName && content.fileData) {
    co_await services_.clipboard->writeFile(*content.fileName, *content.fileData);
  }
  co_return protocol::Ack{};
}

}  // namespace lumora::router
