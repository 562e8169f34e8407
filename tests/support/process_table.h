#pragma once

// What the kernel says about processes, read from /proc: whether one has ended, and which are
// running a given command line or carry a given environment entry.

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

namespace lumora::testing_support {

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

// The live processes for which `matches(pid)` holds.
template <class Predicate>
std::vector<pid_t> processesWhere(Predicate matches) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const auto pid = static_cast<pid_t>(std::strtol(entry->d_name, &end, 10));
    if (end == entry->d_name || *end != '\0') continue;
    if (matches(pid) && !processEnded(pid)) found.push_back(pid);
  }
  ::closedir(proc);
  return found;
}

// The live processes whose argument vector is exactly `argv`.
inline std::vector<pid_t> processesRunning(const std::vector<std::string>& argv) {
  std::string wanted;
  for (const auto& argument : argv) wanted += argument + '\0';
  return processesWhere([&](pid_t pid) {
    return readProcFile("/proc/" + std::to_string(pid) + "/cmdline") == wanted;
  });
}

// The live processes whose environment holds `entry` ("NAME=value").
inline std::vector<pid_t> processesCarrying(const std::string& entry) {
  const std::string wanted = '\0' + entry + '\0';
  return processesWhere([&](pid_t pid) {
    return ('\0' + readProcFile("/proc/" + std::to_string(pid) + "/environ")).find(wanted) !=
           std::string::npos;
  });
}

// Polls `condition` until it holds or `limit` has passed; the limit only keeps a broken agent
// from hanging the test.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

}  // namespace lumora::testing_support
