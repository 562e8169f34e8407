#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/bytes.h"
#include "sdk/stream.h"

namespace lumora::sdk {

namespace internal {
class ControlCore;
}

// One interactive shell running on the agent, opened with AgentControlClient::openTerminal.
// The shell's output arrives on output() in the order the agent sent it; the stream ends when
// the shell exits, when close() has been answered, or when the connection ends. The session
// keeps its client's connection alive. Writes after the end are still sent while connected.
//
// Movable, not copyable; any thread may call any member.
class TerminalSession {
 public:
  TerminalSession(TerminalSession&&) noexcept = default;
  TerminalSession& operator=(TerminalSession&&) noexcept = default;
  ~TerminalSession();

  // The identifier the agent chose for the session.
  const std::string& id() const { return id_; }

  // The shell's output, one element per message of the agent.
  Stream<protocol::Bytes>& output() { return output_; }

  // The shell's exit status once the agent has reported it (the output stream has then
  // ended); nothing while it runs or when the stream ended for another reason.
  std::optional<std::int32_t> exitCode() const;

  // Writes bytes to the shell's input, as typed. The future is ready once the connection has
  // taken the message; no reply is awaited. Fails with notConnected without a connection.
  std::future<void> send(protocol::Bytes data);
  // The text's UTF-8 bytes, exactly; no line ending is added.
  std::future<void> sendText(std::string_view text);
  // Tells the agent the new window size in character cells; no reply is awaited.
  std::future<void> resize(std::uint16_t cols, std::uint16_t rows);
  // Asks the agent to end the session; the output stream ends when it answers. Fails with
  // agent when the agent refuses, unexpectedResponse when it answers with anything but ack.
  std::future<void> close();

 private:
  friend class AgentControlClient;
  TerminalSession(std::shared_ptr<internal::ControlCore> core, std::string id,
                  Stream<protocol::Bytes> output);

  std::shared_ptr<internal::ControlCore> core_;
  std::string id_;
  Stream<protocol::Bytes> output_;
};

}  // namespace lumora::sdk
