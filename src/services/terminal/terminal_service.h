#pragma once

#include <boost/asio/any_io_executor.hpp>

#include <string>

#include "core/agent_log.h"
#include "core/agent_service.h"
#include "protocol/limits.h"
#include "services/terminal/command_result.h"

namespace lumora::services {

// Runs one-shot commands: `shell -lc command`, both output streams read to their end at the
// same time (so a command that fills one pipe while the other stays open cannot stall), then
// its exit code. Commands run concurrently with one another and without blocking a thread;
// each starts in a session of its own with standard input on /dev/null, so it neither reads
// nor receives signals from the agent's own terminal.
class TerminalService : public core::AgentService {
 public:
  // Each stream keeps at most this many bytes; the rest is read and dropped, and the text says
  // so.
  static constexpr std::size_t kMaxOutputBytes = 16u << 20;
  // Each stream's text takes at most this much once escaped into the reply (control characters
  // take six bytes each), so that the two together fit in one frame.
  static constexpr std::size_t kMaxTextLength = protocol::kMaxEncodedContentLength / 2;

  // `executor` runs the pipe and process waits (the network io_context will do).
  explicit TerminalService(boost::asio::any_io_executor executor);

  std::string name() const override { return "terminal-service"; }
  boost::asio::awaitable<void> start() override;
  boost::asio::awaitable<void> stop() override;

  // Throws std::system_error with the system's message when the shell cannot be started.
  boost::asio::awaitable<CommandResult> run(std::string command, std::string shell);

 private:
  boost::asio::any_io_executor executor_;
  core::AgentLog log_;
};

}  // namespace lumora::services
