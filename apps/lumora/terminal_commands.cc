// run, shell: commands and interactive shells on the agent.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <thread>

#include "command.h"
#include "failure.h"
#include "raw_terminal.h"

namespace lumora::cli {

namespace {

int wakeFd = -1;  // the write end of the shell loop's wake-up pipe

void onWindowChange(int) {
  const int saved = errno;
  [[maybe_unused]] auto ignored = ::write(wakeFd, "w", 1);
  errno = saved;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A remote status as a local one: 0…255 as they are, anything else as a plain failure.
int localStatus(std::int32_t remote) { return remote >= 0 && remote <= 255 ? remote : 255; }

int run(CommandContext& context) {
  std::string command;
  for (const auto& word : context.args().positionals) {
    command += (command.empty() ? "" : " ") + word;
  }
  auto client = context.connect();
  auto result = await(client.runCommand(command, context.args().value("shell")), "run failed");
  std::fwrite(result.stdout.data(), 1, result.stdout.size(), stdout);
  std::fflush(stdout);
  std::fwrite(result.stderr.data(), 1, result.stderr.size(), stderr);
  return localStatus(result.exitCode);
}

int shell(CommandContext& context) {
  auto client = context.connect();
  auto [cols, rows] = windowSize(STDIN_FILENO);
  sdk::TerminalSession session =
      await(client.openTerminal(context.args().value("shell"), cols, rows), "cannot open a shell");

  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) throw Failure("cannot open a shell: no pipe");
  wakeFd = wake[1];
  struct sigaction action {};
  action.sa_handler = onWindowChange;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGWINCH, &action, nullptr);

  // Output goes straight to the terminal from a thread of its own; its end wakes the loop.
  std::thread output([&] {
    while (auto piece = session.output().next()) {
      if (!writeAll(STDOUT_FILENO, piece->data(), piece->size())) break;
    }
    [[maybe_unused]] auto ignored = ::write(wake[1], "e", 1);
  });

  {
    RawTerminal raw(STDIN_FILENO);
    bool inputOpen = true;
    bool ended = false;
    while (!ended) {
      pollfd fds[2] = {{wake[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
      if (::poll(fds, inputOpen ? 2 : 1, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents & POLLIN) {
        char events[16];
        ssize_t n = ::read(wake[0], events, sizeof events);
        for (ssize_t i = 0; i < n; ++i) {
          if (events[i] == 'e') ended = true;
          if (events[i] == 'w') {
            auto [newCols, newRows] = windowSize(STDIN_FILENO);
            session.resize(newCols, newRows);
          }
        }
      }
      if (inputOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
        std::uint8_t buffer[4096];
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0) {
          session.send(protocol::Bytes(buffer, buffer + n));
        } else if (n == 0 || errno != EINTR) {
          // End of piped input: an end-of-file character, as typing Ctrl-D would send.
          session.send(protocol::Bytes{4});
          inputOpen = false;
        }
      }
    }
  }
  output.join();
  ::signal(SIGWINCH, SIG_DFL);
  ::close(wake[0]);
  ::close(wake[1]);
  auto status = session.exitCode();
  if (!status) throw Failure("shell ended: connection to the agent lost");
  return localStatus(*status);
}

}  // namespace

std::vector<Command> terminalCommands() {
  const OptionSpec shellOption = {"shell", "SHELL", "the shell to use (default: the agent's)"};
  return {
      {"run",
       "[--shell SHELL] CMD...",
       "run a command; print its output, exit with its status",
       "The words of CMD are joined with spaces and run by the agent's shell (-lc), so quote\n"
       "what the remote shell should see as one word. Options go before CMD.",
       {shellOption},
       1,
       4096,
       true,
       run},
      {"shell",
       "",
       "an interactive shell; exits with the shell's status",
       "The local terminal is put in raw mode and window-size changes follow it. What is typed\n"
       "while the connection is being made is kept and goes to the shell.",
       {shellOption},
       0,
       0,
       false,
       shell},
  };
}

}  // namespace lumora::cli
