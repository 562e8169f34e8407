#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "protocol/bytes.h"
#include "protocol/payload.h"
#include "sdk/message_channel.h"
#include "sdk/stream.h"

namespace lumora::sdk::internal {

// The connection state behind AgentControlClient and its terminal sessions: the adopted
// channel, the receive loop, requests waiting for their replies and the open terminals'
// output streams. Callbacks hold it weakly; the client handle and every TerminalSession hold
// it strongly, and the last of them to go ends the connection.
//
// All members may be called from any thread. Completions are called on the channel's thread
// (or, when the call fails at once, on the caller's), never with the lock held.
class ControlCore : public std::enable_shared_from_this<ControlCore> {
 public:
  using Completion = std::function<void(std::exception_ptr error)>;
  // The reply payload, or the error: an agent error reply arrives as SDKError::agent.
  using ReplyHandler = std::function<void(protocol::Payload reply, std::exception_ptr error)>;
  using OutputState = detail::StreamState<protocol::Bytes>;

  // The most terminal output kept unread per session.
  static constexpr std::size_t kMaxBufferedTerminalOutput = 64u << 20;

  ControlCore() = default;
  ~ControlCore();

  // Connects `channel` and makes it the current one. An earlier channel is closed as by
  // disconnect(): its waiting requests fail with disconnected and onDisconnect is not called.
  void adopt(std::shared_ptr<MessageChannel> channel, Completion done);
  void disconnect();
  void setOnDisconnect(std::function<void()> onDisconnect);

  // Sends `payload` in a fresh envelope and hands its reply to `done`.
  void request(protocol::Payload payload, ReplyHandler done);
  // Sends `payload` in a fresh envelope without waiting for a reply.
  void sendOneWay(protocol::Payload payload, Completion done);

  // Registers the output stream of a session the agent has just opened.
  std::shared_ptr<OutputState> openTerminalOutput(const std::string& sessionId);
  // Ends the session's output stream, if it is still open, keeping the shell's exit status
  // when the agent reported one.
  void finishTerminalOutput(const std::string& sessionId,
                            std::optional<std::int32_t> exitCode = std::nullopt);
  // The exit status kept for the session, until forgetTerminal.
  std::optional<std::int32_t> terminalExitCode(const std::string& sessionId);
  void forgetTerminal(const std::string& sessionId);

 private:
  struct Taken {
    std::unordered_map<std::string, ReplyHandler> pending;
    std::unordered_map<std::string, std::shared_ptr<OutputState>> outputs;
  };

  void receiveNext(const std::shared_ptr<MessageChannel>& channel, std::uint64_t generation);
  void ingest(const protocol::Bytes& message, std::uint64_t generation);
  void channelEnded(std::uint64_t generation);
  // Takes the channel, the waiting requests and the streams out; the caller holds the lock.
  Taken takeAllLocked(std::shared_ptr<MessageChannel>& channel);
  static void failAll(Taken taken);

  std::mutex lock_;  // guards every field below
  std::shared_ptr<MessageChannel> channel_;
  // Counts adoptions and ends, so that a stale channel's late events change nothing.
  std::uint64_t generation_ = 0;
  std::unordered_map<std::string, ReplyHandler> pending_;
  std::unordered_map<std::string, std::shared_ptr<OutputState>> terminalOutputs_;
  // Exit statuses of sessions whose handle is still alive (one entry per live session at most).
  std::unordered_map<std::string, std::int32_t> terminalExitCodes_;
  std::function<void()> onDisconnect_;
};

}  // namespace lumora::sdk::internal
