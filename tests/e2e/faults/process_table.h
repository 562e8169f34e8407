#pragma once

// What the kernel says about processes, read from /proc: whether one has ended, and which are
// running a given command line.

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace lumora::faults {

// The whole of one /proc file, or nothing if the process is gone. A process may end between
// opening and reading (the read then fails with ESRCH), which streams would report by throwing.
inline std::string readProcFile(const std::string& path) {
  std::string content;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      content.clear();
      break;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return content;
}

// Whether `pid` has ended; a zombie nobody reaps counts as ended.
inline bool processEnded(pid_t pid) {
  std::string line = readProcFile("/proc/" + std::to_string(pid) + "/stat");
  if (line.empty()) return true;
  auto close = line.rfind(')');
  return close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z';
}

// The live processes whose argument vector is exactly `argv`.
inline std::vector<pid_t> processesRunning(const std::vector<std::string>& argv) {
  std::string wanted;
  for (const auto& argument : argv) wanted += argument + '\0';
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    std::string cmdline = readProcFile(std::string("/proc/") + entry->d_name + "/cmdline");
    if (cmdline == wanted && !processEnded(static_cast<pid_t>(pid))) {
      found.push_back(static_cast<pid_t>(pid));
    }
  }
  ::closedir(proc);
  return found;
}

// Polls `condition` until it holds or `limit` has passed; the limit only keeps a broken agent
// from hanging the test.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

}  // namespace lumora::faults
