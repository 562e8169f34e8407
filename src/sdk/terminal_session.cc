#include "sdk/terminal_session.h"

#include "sdk/internal/control_core.h"
#include "sdk/internal/reply.h"
#include "sdk/internal/terminal_requests.h"
#include "sdk/sdk_error.h"

namespace lumora::sdk {

TerminalSession::TerminalSession(std::shared_ptr<internal::ControlCore> core, std::string id,
                                 Stream<protocol::Bytes> output)
    : core_(std::move(core)), id_(std::move(id)), output_(std::move(output)) {}

TerminalSession::~TerminalSession() {
  if (core_) core_->forgetTerminal(id_);
}

std::optional<std::int32_t> TerminalSession::exitCode() const {
  if (!core_) return std::nullopt;
  return core_->terminalExitCode(id_);
}

std::future<void> TerminalSession::send(protocol::Bytes data) {
  if (!core_) return internal::failedFuture<void>(SDKError::notConnected());  // moved from
  return internal::sendOneWay(*core_, protocol::TerminalInput{id_, std::move(data)});
}

std::future<void> TerminalSession::sendText(std::string_view text) {
  return send(protocol::bytesOf(text));
}

std::future<void> TerminalSession::resize(std::uint16_t cols, std::uint16_t rows) {
  if (!core_) return internal::failedFuture<void>(SDKError::notConnected());
  return internal::sendOneWay(*core_, protocol::TerminalResize{id_, cols, rows});
}

std::future<void> TerminalSession::close() {
  if (!core_) return internal::failedFuture<void>(SDKError::notConnected());
  return internal::closeTerminal(core_, id_);
}

}  // namespace lumora::sdk
