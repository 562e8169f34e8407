#include "services/terminal/pty_session.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "protocol/message_id.h"

namespace lumora::services {

namespace asio = boost::asio;
using protocol::Bytes;

PTYError PTYError::openFailed(int error) {
  return PTYError("could not open a pseudo-terminal: " + std::string(std::strerror(error)), error);
}

std::shared_ptr<PTYSession> PTYSession::create(asio::any_io_executor executor, std::string shell,
                                               std::uint16_t cols, std::uint16_t rows) {
  int master = -1;
  int slave = -1;
  winsize size{};
  size.ws_col = cols;
  size.ws_row = rows;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, &size) != 0) throw PTYError::openFailed(errno);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  return std::shared_ptr<PTYSession>(
      new PTYSession(std::move(executor), std::move(shell), master, slave, name));
}

PTYSession::PTYSession(asio::any_io_executor executor, std::string shell, int master, int slave,
                       std::string slaveName)
    : strand_(asio::make_strand(executor)),
      shell_(std::move(shell)),
      log_("pty"),
      master_(strand_, master),
      slave_(slave),
      slaveName_(std::move(slaveName)),
      mark_(std::string(kSessionMarkName) + "=" + protocol::randomUUIDString()),
      killTimer_(strand_),
      drainDeadline_(strand_),
      gateRetry_(strand_) {}

PTYSession::~PTYSession() {
  if (child_.pid > 0 && !exited_) {
    if (exitWatch_) child_.pidfd.reset(::dup(exitWatch_->native_handle()));
    platform::linux_os::endSessionInBackground(std::move(child_), kHangupGrace, mark_);
  }
}

void PTYSession::start() {
  platform::linux_os::SpawnRequest request;
  request.program = shell_;
  request.arguments = {"-i"};
  request.newSession = true;
  request.controllingTerminal = slaveName_;
  request.environment = {mark_};
  child_ = platform::linux_os::spawnChild(request);
  // Only the shell keeps the terminal side open now, so its end shows as the end of output.
  slave_.reset();
  exitWatch_ = std::make_unique<asio::posix::stream_descriptor>(strand_, child_.pidfd.release());
  log_.info("pty session started (" + std::to_string(child_.pid) + ")");
  asio::dispatch(strand_, [self = shared_from_this()] {
    self->readOutput();
    self->waitForExit();
  });
}

void PTYSession::readOutput() {
  if (outputGate_ && !outputGate_()) {
    gateRetry_.expires_after(std::chrono::milliseconds(10));
    gateRetry_.async_wait([weak = weak_from_this()](boost::system::error_code ec) {
      auto self = weak.lock();
      if (!ec && self && self->delivering_) self->readOutput();
    });
    return;
  }
  auto buffer = std::make_shared<std::array<std::uint8_t, 65536>>();
  master_.async_read_some(asio::buffer(*buffer), [weak = weak_from_this(), buffer](
                                                     boost::system::error_code ec, std::size_t n) {
    auto self = weak.lock();
    if (!self || !self->delivering_) return;
    if (n > 0 && self->onOutput_) self->onOutput_(Bytes(buffer->begin(), buffer->begin() + n));
    if (!ec) {
      self->readOutput();
      return;
    }
    // EIO: every process has closed the terminal side; nothing more will come.
    self->outputEnded_ = true;
    if (self->exited_) self->complete();
  });
}

void PTYSession::waitForExit() {
  exitWatch_->async_wait(asio::posix::stream_descriptor::wait_read,
                         [weak = weak_from_this()](boost::system::error_code ec) {
                           auto self = weak.lock();
                           if (!self || ec) return;
                           self->exitWatch_->close();
                           self->finish(platform::linux_os::reapChild(self->child_));
                         });
}

void PTYSession::finish(std::int32_t exitCode) {
  exited_ = true;
  exitCode_ = exitCode;
  if (terminating_) {
    // The shell is gone; its jobs go with it, swept off the strand until none is left.
    killTimer_.cancel();
    std::thread([session = child_.pid, mark = mark_] {
      platform::linux_os::killSessionRemains(session, mark);
    }).detach();
  }
  if (!delivering_ || outputEnded_) {
    complete();
    return;
  }
  // What the shell wrote just before it exited may still be on its way through the terminal;
  // read on until the terminal side is closed everywhere, or briefly when a background job
  // keeps it open.
  drainDeadline_.expires_after(kFinalOutputWait);
  drainDeadline_.async_wait([weak = weak_from_this()](boost::system::error_code ec) {
    auto self = weak.lock();
    if (self && !ec) self->complete();
  });
}

void PTYSession::complete() {
  if (completed_) return;
  completed_ = true;
  delivering_ = false;
  drainDeadline_.cancel();
  boost::system::error_code ignored;
  master_.cancel(ignored);
  if (onExit_) {
    auto handler = std::move(onExit_);
    onExit_ = nullptr;
    handler(exitCode_);
  }
}

void PTYSession::write(protocol::ByteView bytes) {
  if (bytes.empty()) return;
  asio::dispatch(strand_,
                 [self = shared_from_this(), data = Bytes(bytes.begin(), bytes.end())]() mutable {
                   if (self->exited_) return;
                   self->pendingInput_.push_back(std::move(data));
                   if (!self->writing_) self->writeNext();
                 });
}

void PTYSession::writeNext() {
  if (pendingInput_.empty() || exited_) {
    writing_ = false;
    return;
  }
  writing_ = true;
  // The bytes travel with the operation, so they outlive a session released meanwhile.
  auto data = std::make_shared<Bytes>(std::move(pendingInput_.front()));
  pendingInput_.pop_front();
  asio::async_write(master_, asio::buffer(*data),
                    [weak = weak_from_this(), data](boost::system::error_code ec, std::size_t) {
                      auto self = weak.lock();
                      if (!self) return;
                      if (ec) self->pendingInput_.clear();
                      self->writeNext();
                    });
}

void PTYSession::resize(std::uint16_t cols, std::uint16_t rows) {
  winsize size{};
  size.ws_col = cols;
  size.ws_row = rows;
  // The kernel tells the shell's foreground job (SIGWINCH).
  ::ioctl(master_.native_handle(), TIOCSWINSZ, &size);
}

void PTYSession::terminate() {
  asio::dispatch(strand_, [self = shared_from_this()] {
    self->delivering_ = false;
    if (self->exited_ || self->terminating_ || self->child_.pid <= 0) return;
    self->terminating_ = true;
    platform::linux_os::signalSession(self->child_.pid, SIGHUP, self->mark_);
    self->killTimer_.expires_after(kHangupGrace);
    self->killTimer_.async_wait([self](boost::system::error_code ec) {
      if (!ec && !self->exited_) {
        platform::linux_os::signalSession(self->child_.pid, SIGKILL, self->mark_);
      }
    });
  });
}

}  // namespace lumora::services
