#include "platform/linux/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <system_error>
#include <thread>

extern char** environ;

namespace lumora::platform::linux_os {
namespace {

[[noreturn]] void throwErrno(int error) { throw std::system_error(error, std::generic_category()); }

// RAII for the two posix_spawn attribute objects.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
};

// What /proc/<pid>/stat says of a process that signalling concerns.
struct ProcessState {
  bool ended = true;  // gone, or a zombie that only its parent's wait removes
  pid_t session = -1;
};

ProcessState stateOf(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return {};
  char buffer[512];
  ssize_t n = ::read(fd.get(), buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string_view stat(buffer, static_cast<std::size_t>(n));
  // "pid (comm) state ppid pgrp session ..."; comm may hold spaces and parentheses, so count
  // from the last ')'.
  auto close = stat.rfind(')');
  if (close == std::string_view::npos) return {};
  char state = 0;
  int ppid = 0, pgrp = 0, session = -1;
  std::string rest(stat.substr(close + 1));
  if (std::sscanf(rest.c_str(), " %c %d %d %d", &state, &ppid, &pgrp, &session) != 4) return {};
  return {state == 'Z' || state == 'X', session};
}

// Whether the environment `pid` was started with holds the entry `mark` ("NAME=value").
bool environmentHolds(pid_t pid, std::string_view mark) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/environ", pid);
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  // Entries follow one another, each ending in a NUL; with a NUL put in front of the first,
  // every entry reads "\0NAME=value\0". Read in pieces, keeping just enough of the previous
  // piece to find an entry that straddles two.
  std::string wanted;
  wanted += '\0';
  wanted += mark;
  wanted += '\0';
  std::string window(1, '\0');
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    window.append(buffer, static_cast<std::size_t>(n));
    if (window.find(wanted) != std::string::npos) return true;
    window.erase(0, window.size() - std::min(window.size(), wanted.size() - 1));
  }
}

// The agent's environment with `added` ("NAME=value") in place of entries of the same names.
std::vector<std::string> environmentWith(const std::vector<std::string>& added) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view current(*entry);
    std::string_view name = current.substr(0, current.find('='));
    bool replaced = false;
    for (const auto& extra : added) {
      replaced |= std::string_view(extra).substr(0, extra.find('=')) == name;
    }
    if (!replaced) result.emplace_back(current);
  }
  result.insert(result.end(), added.begin(), added.end());
  return result;
}

}  // namespace

ChildProcess spawnChild(const SpawnRequest& request) {
  SpawnSetup setup;
  // The agent may ignore or block signals (SIGPIPE, for one); its children start clean.
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (request.newSession) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&setup.attributes, flags);

  if (request.controllingTerminal) {
    // Opened after setsid, so the terminal becomes the child's controlling terminal.
    posix_spawn_file_actions_addopen(&setup.actions, 0, request.controllingTerminal->c_str(),
                                     O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, 0, 1);
    posix_spawn_file_actions_adddup2(&setup.actions, 0, 2);
  } else {
    const int sources[3] = {request.standardInput, request.standardOutput, request.standardError};
    for (int target = 0; target < 3; ++target) {
      if (sources[target] >= 0) {
        posix_spawn_file_actions_adddup2(&setup.actions, sources[target], target);
      }
    }
  }
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(request.program.c_str()));
  for (const auto& argument : request.arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  std::vector<std::string> environment = environmentWith(request.environment);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  int error = posix_spawn(&pid, request.program.c_str(), &setup.actions, &setup.attributes,
                          argv.data(), envp.data());
  if (error != 0) throwErrno(error);

  ChildProcess child;
  child.pid = pid;
  child.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!child.pidfd) {
    int openError = errno;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    throwErrno(openError);
  }
  return child;
}

int exitCodeFromWaitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int reapChild(ChildProcess& child) {
  int status = 0;
  pid_t result;
  do {
    result = ::waitpid(child.pid, &status, 0);
  } while (result < 0 && errno == EINTR);
  child.pidfd.reset();
  return result == child.pid ? exitCodeFromWaitStatus(status) : -1;
}

int signalSession(pid_t sessionId, int signal, std::string_view mark) {
  if (sessionId <= 1) return 0;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return 0;
  const pid_t self = ::getpid();
  int signalled = 0;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long number = std::strtol(entry->d_name, &end, 10);
    const auto pid = static_cast<pid_t>(number);
    if (end == entry->d_name || *end != '\0' || pid <= 1 || pid == self) continue;
    const ProcessState state = stateOf(pid);
    if (state.ended) continue;
    if (state.session == sessionId || (!mark.empty() && environmentHolds(pid, mark))) {
      if (::kill(pid, signal) == 0) ++signalled;
    }
  }
  ::closedir(proc);
  return signalled;
}

void killSessionRemains(pid_t sessionId, std::string_view mark) {
  // The bound only keeps a process that cannot be killed (stuck in the kernel) from holding
  // the caller for long.
  constexpr int kMaxSweeps = 50;
  constexpr auto kPause = std::chrono::milliseconds(20);
  signalSession(sessionId, SIGKILL, mark);
  for (int sweep = 1; sweep < kMaxSweeps; ++sweep) {
    std::this_thread::sleep_for(kPause);
    if (signalSession(sessionId, SIGKILL, mark) == 0) return;
  }
}

void endSessionInBackground(ChildProcess child, std::chrono::milliseconds grace, std::string mark) {
  if (child.pid <= 0) return;
  std::thread([child = std::move(child), grace, mark = std::move(mark)]() mutable {
    signalSession(child.pid, SIGHUP, mark);
    pollfd exited{child.pidfd.get(), POLLIN, 0};
    if (::poll(&exited, 1, static_cast<int>(grace.count())) <= 0) {
      signalSession(child.pid, SIGKILL, mark);
    }
    reapChild(child);
    killSessionRemains(child.pid, mark);
  }).detach();
}

}  // namespace lumora::platform::linux_os
