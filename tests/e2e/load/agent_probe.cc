#include "agent_probe.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace lumora::load {

namespace {

std::filesystem::path procPath(pid_t pid) {
  return std::filesystem::path("/proc") / std::to_string(pid);
}

}  // namespace

std::size_t residentBytes(pid_t pid) {
  std::ifstream status(procPath(pid) / "status");
  std::string line;
  while (std::getline(status, line)) {
    // "VmRSS:	   12345 kB"
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

std::size_t openDescriptors(pid_t pid) {
  std::error_code ec;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator it(procPath(pid) / "fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++count;
  }
  return count;
}

bool isRunning(pid_t pid) {
  // The state is the first field after the parenthesised command name.
  std::ifstream stat(procPath(pid) / "stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const auto close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  const char state = text[close + 2];
  return state != 'Z' && state != 'X';
}

}  // namespace lumora::load
