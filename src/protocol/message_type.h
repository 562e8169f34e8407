#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace lumora::protocol {

// Every message type of the control channel, in catalogue order. The order is load-bearing:
// a Payload's variant index is its MessageType.
enum class MessageType : std::size_t {
  fileList,
  fileListResult,
  fileMove,
  fileRemove,
  fileDownload,
  fileDownloadResult,
  fileUpload,
  terminalRun,
  terminalRunResult,
  terminalOpen,
  terminalOpened,
  terminalInput,
  terminalOutput,
  terminalResize,
  terminalClose,
  terminalExit,
  inputMouseMove,
  inputMouseMoveBy,
  inputClick,
  inputKey,
  inputText,
  inputScroll,
  inputDrag,
  inputMouseButton,
  screenCaptureFrame,
  screenFrameMeta,
  screenListDisplays,
  screenDisplayList,
  mediaTicket,
  mediaTicketResult,
  clipboardGet,
  clipboardContent,
  clipboardSet,
  authBegin,
  authChallenge,
  authComplete,
  ping,
  ack,
  error,
};

inline constexpr std::size_t kMessageTypeCount = 39;

inline constexpr std::array<std::string_view, kMessageTypeCount> kMessageTypeRawValues = {
    "file.list",
    "file.list.result",
    "file.move",
    "file.remove",
    "file.download",
    "file.download.result",
    "file.upload",
    "terminal.run",
    "terminal.run.result",
    "terminal.open",
    "terminal.opened",
    "terminal.input",
    "terminal.output",
    "terminal.resize",
    "terminal.close",
    "terminal.exit",
    "input.mouse_move",
    "input.mouse_move_by",
    "input.click",
    "input.key",
    "input.text",
    "input.scroll",
    "input.drag",
    "input.mouse_button",
    "screen.capture_frame",
    "screen.frame_meta",
    "screen.list_displays",
    "screen.display_list",
    "media.ticket",
    "media.ticket.result",
    "clipboard.get",
    "clipboard.content",
    "clipboard.set",
    "auth.begin",
    "auth.challenge",
    "auth.complete",
    "ping",
    "ack",
    "error",
};

constexpr std::string_view rawValue(MessageType type) {
  return kMessageTypeRawValues[static_cast<std::size_t>(type)];
}

// Exact, case-sensitive match against the catalogue.
constexpr std::optional<MessageType> messageTypeFromRawValue(std::string_view text) {
  for (std::size_t i = 0; i < kMessageTypeCount; ++i) {
    if (kMessageTypeRawValues[i] == text) return static_cast<MessageType>(i);
  }
  return std::nullopt;
}

// Types only the agent may send; a peer sending one is refused before anything else happens.
constexpr bool isAgentOnly(MessageType type) {
  return type == MessageType::terminalOpened || type == MessageType::terminalOutput ||
         type == MessageType::terminalExit || type == MessageType::mediaTicketResult;
}

}  // namespace lumora::protocol
