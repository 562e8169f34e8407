#include "support/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

namespace lumora::testing_support {

pid_t spawnProcess(const std::vector<std::string>& argv, const SpawnOptions& options) {
  std::vector<char*> args;
  for (const auto& argument : argv) args.push_back(const_cast<char*>(argument.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> environment;
  std::vector<char*> envp;
  if (options.environment) {
    environment = *options.environment;
    for (auto& entry : sanitizerEnvironment()) environment.push_back(std::move(entry));
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (!options.terminal.empty()) {
    // Opened after setsid, the terminal becomes the new session's controlling terminal.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_addopen(&actions, 0, options.terminal.c_str(), O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
  } else {
    const auto stream = [&](int target, int fd, const std::string& path, int flags) {
      if (fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, fd, target);
      } else {
        posix_spawn_file_actions_addopen(&actions, target, path.c_str(), flags, 0600);
      }
    };
    stream(0, options.inputFd, options.input, O_RDONLY);
    stream(1, options.outputFd, options.output, O_WRONLY | O_CREAT | O_APPEND);
    stream(2, -1, options.error, O_WRONLY | O_CREAT | O_APPEND);
  }
  // Nothing else of this process: a server the test runs in-process (the account service) must
  // not stay bound in a program it started, nor its connections stay open there.
  if (options.passFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.passFd, 3);
  posix_spawn_file_actions_addclosefrom_np(&actions, options.passFd >= 0 ? 4 : 3);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(),
                                  options.environment ? envp.data() : environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

int waitForExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ProgramRun runProgram(const std::vector<std::string>& argv, SpawnOptions options) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  options.outputFd = fds[1];
  pid_t pid = -1;
  try {
    pid = spawnProcess(argv, options);
  } catch (...) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw;
  }
  ::close(fds[1]);
  ProgramRun run;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  run.exitCode = waitForExit(pid);
  return run;
}

std::vector<std::string> sanitizerEnvironment() {
  std::vector<std::string> entries;
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) entries.push_back(std::string(name) + "=" + value);
  }
  return entries;
}

ChannelledProcess spawnWithChannel(const std::vector<std::string>& argv, SpawnOptions options) {
  int channel[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  options.inputFd = channel[1];
  options.outputFd = channel[1];
  ChannelledProcess started;
  try {
    started.pid = spawnProcess(argv, options);
  } catch (...) {
    ::close(channel[0]);
    ::close(channel[1]);
    throw;
  }
  ::close(channel[1]);
  started.channel = channel[0];
  return started;
}

bool reapIfEnded(pid_t& pid) {
  if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == pid) pid = -1;
  return pid <= 0;
}

void endProcess(pid_t& pid, std::chrono::milliseconds grace) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (!reapIfEnded(pid)) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      waitForExit(pid);
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::optional<std::string> readLine(int fd, std::chrono::milliseconds limit) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    if (c == '\n') return line;
    line.push_back(c);
  }
  return std::nullopt;
}

std::string logTail(const std::string& path) {
  std::string text = contentOf(path);
  if (text.size() > 1500) text = "..." + text.substr(text.size() - 1500);
  return text.empty() ? "(no output)" : text;
}

}  // namespace lumora::testing_support
