#include "services/terminal/terminal_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <array>
#include <chrono>
#include <system_error>

#include "platform/linux/child_process.h"
#include "protocol/json_writer.h"
#include "protocol/utf8.h"

namespace lumora::services {
namespace {

namespace asio = boost::asio;
using asio::posix::stream_descriptor;
using platform::linux_os::ChildProcess;
using platform::linux_os::UniqueFd;

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

struct Drained {
  std::string bytes;
  bool truncated = false;
};

asio::awaitable<Drained> drain(stream_descriptor& pipe, std::size_t limit) {
  Drained result;
  std::array<char, 65536> buffer;
  for (;;) {
    auto [ec, n] =
        co_await pipe.async_read_some(asio::buffer(buffer), asio::as_tuple(asio::use_awaitable));
    if (n > 0) {
      std::size_t keep = std::min(n, limit - std::min(limit, result.bytes.size()));
      result.bytes.append(buffer.data(), keep);
      result.truncated |= keep < n;
    }
    if (ec) break;  // end of file, or the pipe failed: either way the stream is over
  }
  co_return result;
}

// The text of one stream. Bytes that are not UTF-8 become U+FFFD. A stream longer than the agent
// keeps, or whose text would not fit its half of the reply, is cut at a whole character and says
// that it was cut.
std::string decodeOutput(Drained drained) {
  std::string& bytes = drained.bytes;
  if (drained.truncated) {
    // Drop a partial character at the cut (at most three bytes).
    std::size_t end = bytes.size();
    for (std::size_t back = 0; back < 3 && end > 0; ++back) {
      auto c = static_cast<unsigned char>(bytes[end - 1 - back]);
      if ((c & 0xC0) != 0x80) {
        std::size_t width = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (back + 1 < width) end -= back + 1;
        break;
      }
    }
    bytes.resize(end);
  }
  std::string text = protocol::isValidUTF8(bytes) ? std::move(bytes) : protocol::toValidUTF8(bytes);
  constexpr std::size_t kRoomForNote = 64;
  const std::size_t keep =
      protocol::fittingPrefixLength(text, TerminalService::kMaxTextLength - kRoomForNote);
  if (!drained.truncated && keep == text.size()) return text;
  text.resize(keep);
  return text + "\n[output truncated at " + std::to_string(keep) + " bytes]\n";
}

// Ends and reaps the child if the run is abandoned (its caller went away) before it finished.
struct AbandonGuard {
  ChildProcess* child;
  ~AbandonGuard() {
    if (child && child->pid > 0) {
      platform::linux_os::endSessionInBackground(std::move(*child), std::chrono::seconds(2));
    }
  }
};

}  // namespace

TerminalService::TerminalService(asio::any_io_executor executor)
    : executor_(std::move(executor)), log_("terminal") {}

asio::awaitable<void> TerminalService::start() {
  log_.info("terminal-service started");
  co_return;
}

asio::awaitable<void> TerminalService::stop() {
  log_.info("terminal-service stopped");
  co_return;
}

asio::awaitable<CommandResult> TerminalService::run(std::string command, std::string shell) {
  using namespace asio::experimental::awaitable_operators;

  Pipe out = makePipe();
  Pipe err = makePipe();
  UniqueFd nothing(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!nothing) throw std::system_error(errno, std::generic_category());

  platform::linux_os::SpawnRequest request;
  request.program = shell;
  request.arguments = {"-lc", command};
  request.standardInput = nothing.get();
  request.standardOutput = out.write.get();
  request.standardError = err.write.get();
  request.newSession = true;
  ChildProcess child = platform::linux_os::spawnChild(request);
  AbandonGuard guard{&child};
  out.write.reset();
  err.write.reset();
  nothing.reset();

  stream_descriptor outPipe(executor_, out.read.release());
  stream_descriptor errPipe(executor_, err.read.release());
  auto [stdoutBytes, stderrBytes] =
      co_await (drain(outPipe, kMaxOutputBytes) && drain(errPipe, kMaxOutputBytes));

  stream_descriptor exited(executor_, child.pidfd.release());
  co_await exited.async_wait(stream_descriptor::wait_read, asio::use_awaitable);
  exited.close();
  CommandResult result;
  result.exitCode = platform::linux_os::reapChild(child);
  child.pid = -1;  // reaped: nothing left for the guard
  result.stdout = decodeOutput(std::move(stdoutBytes));
  result.stderr = decodeOutput(std::move(stderrBytes));
  co_return result;
}

}  // namespace lumora::services
