#include "support/process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace lumora::testing_support {
namespace {

std::string procFile(pid_t pid, const char* name) {
  return readProcFile("/proc/" + std::to_string(pid) + "/" + name);
}

// The fields of /proc/<pid>/stat after the command name (which may hold spaces and
// parentheses): the state first.
std::string statFields(pid_t pid) {
  const std::string line = procFile(pid, "stat");
  const auto close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? std::string()
                                                                : line.substr(close + 2);
}

// The number after the word `key` in `text` ("VmRSS:   123 kB"); -1 when there is none.
long long numberAfter(const std::string& text, const std::string& key) {
  std::istringstream words(text);
  long long value = -1;
  for (std::string word; words >> word;) {
    if (word == key) return words >> value ? value : -1;
  }
  return -1;
}

}  // namespace

std::string readProcFile(const std::string& path) {
  std::string content;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) content.clear();
    if (got <= 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return content;
}

bool processEnded(pid_t pid) {
  const std::string fields = statFields(pid);
  return fields.empty() || fields[0] == 'Z' || fields[0] == 'X';
}

std::vector<pid_t> processesWhere(const std::function<bool(pid_t)>& matches) {
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

std::vector<pid_t> processesRunning(const std::vector<std::string>& argv) {
  std::string wanted;
  for (const auto& argument : argv) wanted += argument + '\0';
  return processesWhere([&](pid_t pid) { return procFile(pid, "cmdline") == wanted; });
}

std::vector<pid_t> processesCarrying(const std::string& entry) {
  const std::string wanted = '\0' + entry + '\0';
  return processesWhere([&](pid_t pid) {
    return ('\0' + procFile(pid, "environ")).find(wanted) != std::string::npos;
  });
}

std::size_t residentBytes(pid_t pid) {
  return static_cast<std::size_t>(std::max(0LL, numberAfter(procFile(pid, "status"), "VmRSS:"))) *
         1024;
}
std::size_t openDescriptors(pid_t pid) {
  std::size_t count = 0;
  DIR* fds = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (fds == nullptr) return 0;
  while (dirent* entry = ::readdir(fds)) count += entry->d_name[0] != '.';
  ::closedir(fds);
  return count;
}

long long bytesWritten(pid_t pid) { return numberAfter(procFile(pid, "io"), "wchar:"); }
}  // namespace lumora::testing_support
