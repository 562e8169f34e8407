#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/agent_log.h"
#include "platform/linux/child_process.h"
#include "protocol/bytes.h"

namespace lumora::services {

class PTYError : public std::runtime_error {
 public:
  // The pseudo-terminal pair could not be allocated; `error` is the errno.
  static PTYError openFailed(int error);
  int error() const { return error_; }

 private:
  PTYError(const std::string& message, int error) : std::runtime_error(message), error_(error) {}
  int error_;
};

// One interactive shell (`shell -i`) on a pseudo-terminal of its own: the shell leads a new
// session whose controlling terminal is the pseudo-terminal, sized from the start.
//
// Threads: create, set the callbacks, then start(); after that write/resize/terminate may be
// called from any thread. The callbacks run on the session's strand over the given executor,
// one at a time: onOutput with each piece of output as it is produced, then onExit exactly
// once with the shell's exit code (128 + signal when a signal ended it). Output is read until
// the shell ends or terminate() is called; what the shell wrote just before it exited is still
// delivered, ahead of onExit.
//
// terminate() hangs up the whole session (as closing a terminal window does) and kills what is
// still running a few seconds later. Jobs that left the session (setsid, daemons) are found by
// a mark in the environment the shell passes on to everything it starts, and go the same way.
// A session released while its shell still runs is ended the same way in the background. The
// shell is always reaped.
class PTYSession : public std::enable_shared_from_this<PTYSession> {
 public:
  using OutputHandler = std::function<void(protocol::Bytes)>;
  using ExitHandler = std::function<void(std::int32_t)>;
  // Asked (from the session's strand, any thread's state behind it) before each read of the
  // shell's output; while it says no, output stays in the terminal, and a program flooding it
  // blocks, as it would behind a slow terminal.
  using OutputGate = std::function<bool()>;

  static constexpr std::chrono::seconds kHangupGrace{3};
  // The environment variable that marks the shell and everything it starts; its value is
  // unique to the session.
  static constexpr const char* kSessionMarkName = "LUMORA_TERMINAL_SESSION";
  // How long output may still arrive after the shell exited while a job holds the terminal.
  static constexpr std::chrono::milliseconds kFinalOutputWait{250};

  // Throws PTYError::openFailed.
  static std::shared_ptr<PTYSession> create(boost::asio::any_io_executor executor,
                                            std::string shell, std::uint16_t cols,
                                            std::uint16_t rows);
  ~PTYSession();

  void setOnOutput(OutputHandler handler) { onOutput_ = std::move(handler); }
  void setOnExit(ExitHandler handler) { onExit_ = std::move(handler); }
  void setOutputGate(OutputGate gate) { outputGate_ = std::move(gate); }

  // Launches the shell; throws std::system_error with the system's message if it cannot.
  void start();
  void write(protocol::ByteView bytes);
  void resize(std::uint16_t cols, std::uint16_t rows);
  void terminate();

  pid_t pid() const { return child_.pid; }

 private:
  PTYSession(boost::asio::any_io_executor executor, std::string shell, int master, int slave,
             std::string slaveName);

  void readOutput();
  void waitForExit();
  void writeNext();
  void finish(std::int32_t exitCode);
  void complete();

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  std::string shell_;
  core::AgentLog log_;
  boost::asio::posix::stream_descriptor master_;
  platform::linux_os::UniqueFd slave_;
  std::string slaveName_;
  std::string mark_;  // "NAME=value" in the shell's environment
  platform::linux_os::ChildProcess child_;
  std::unique_ptr<boost::asio::posix::stream_descriptor> exitWatch_;
  boost::asio::steady_timer killTimer_;
  boost::asio::steady_timer drainDeadline_;
  boost::asio::steady_timer gateRetry_;
  OutputHandler onOutput_;
  OutputGate outputGate_;
  ExitHandler onExit_;

  // Strand state.
  std::deque<protocol::Bytes> pendingInput_;
  bool writing_ = false;
  bool delivering_ = true;
  bool exited_ = false;
  bool outputEnded_ = false;
  bool completed_ = false;
  bool terminating_ = false;
  std::int32_t exitCode_ = 0;
};

}  // namespace lumora::services
