#pragma once

#include <utility>
#include <variant>

#include "protocol/auth_payloads.h"
#include "protocol/clipboard_payloads.h"
#include "protocol/common_payloads.h"
#include "protocol/file_payloads.h"
#include "protocol/input_screen_payloads.h"
#include "protocol/message_type.h"
#include "protocol/terminal_payloads.h"

namespace lumora::protocol {

// One alternative per message type, in catalogue order, so that index() == MessageType.
// ClipboardContent appears twice (clipboard.content and clipboard.set); every other record
// appears once and converts implicitly.
using PayloadVariant = std::variant<
    FileListRequest, FileListResult, FileMoveRequest, FileRemoveRequest, FileDownloadRequest,
    FileDownloadResult, FileUploadRequest, TerminalRunRequest, TerminalRunResult,
    TerminalOpenRequest, TerminalOpened, TerminalInput, TerminalOutput, TerminalResize,
    TerminalCloseRequest, TerminalExit, MouseMoveCommand, MouseMoveByCommand, MouseClickCommand,
    KeyCommand, TypeTextCommand, ScrollCommand, DragCommand, MouseButtonCommand,
    CaptureFrameRequest, ScreenFrameMeta, ScreenListDisplaysRequest, DisplayListResult,
    MediaTicketRequest, MediaTicketResult, ClipboardGetRequest, ClipboardContent, ClipboardContent,
    AuthBegin, AuthChallenge, AuthComplete, PingRequest, Ack, ProtocolError>;

static_assert(std::variant_size_v<PayloadVariant> == kMessageTypeCount);

template <MessageType T>
using PayloadRecord = std::variant_alternative_t<static_cast<std::size_t>(T), PayloadVariant>;

// The typed content of an envelope.
class Payload {
 public:
  Payload() : value_(PingRequest{}) {}

  // Any record that belongs to exactly one message type.
  template <class Record>
  requires std::is_constructible_v<PayloadVariant, Record&&> &&
      (!std::is_same_v<std::remove_cvref_t<Record>, Payload>)Payload(Record&& record)
      : value_(std::forward<Record>(record)) {}  // NOLINT: implicit

  // Any record under an explicit type; the only way to build the two clipboard cases.
  template <MessageType T>
  static Payload make(PayloadRecord<T> record) {
    return Payload(std::in_place_index<static_cast<std::size_t>(T)>, std::move(record));
  }
  static Payload clipboardContent(ClipboardContent content) {
    return make<MessageType::clipboardContent>(std::move(content));
  }
  static Payload clipboardSet(ClipboardContent content) {
    return make<MessageType::clipboardSet>(std::move(content));
  }

  MessageType messageType() const { return static_cast<MessageType>(value_.index()); }

  // The record when the payload is of type T, else null.
  template <MessageType T>
  const PayloadRecord<T>* get() const {
    return std::get_if<static_cast<std::size_t>(T)>(&value_);
  }
  template <MessageType T>
  PayloadRecord<T>* get() {
    return std::get_if<static_cast<std::size_t>(T)>(&value_);
  }

  const PayloadVariant& variant() const { return value_; }

  bool operator==(const Payload&) const = default;

 private:
  template <std::size_t I, class Record>
  Payload(std::in_place_index_t<I> index, Record&& record)
      : value_(index, std::forward<Record>(record)) {}

  PayloadVariant value_;
};

}  // namespace lumora::protocol
