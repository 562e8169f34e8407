#include "core/agent_log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace lumora::core {
namespace {

void openSystemLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The identity string must outlive the process's use of syslog.
    static const std::string ident(AgentLog::kSubsystem);
    openlog(ident.c_str(), LOG_PID | LOG_NDELAY, LOG_USER);
  });
}

void writeSystemLog(int priority, std::string_view category, std::string_view message) {
  if ((setlogmask(0) & LOG_MASK(priority)) == 0) return;
  syslog(priority, "%.*s: %.*s", static_cast<int>(category.size()), category.data(),
         static_cast<int>(message.size()), message.data());
}

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n <= 0) return;  // a closed console is not the log's problem
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

AgentLog::AgentLog(std::string category, bool mirrorToConsole)
    : category_(std::move(category)), mirrorToConsole_(mirrorToConsole) {
  openSystemLog();
}

std::string AgentLog::consoleLine(const std::tm& at, std::string_view level,
                                  std::string_view category, std::string_view message) {
  char clock[16];
  std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", at.tm_hour, at.tm_min, at.tm_sec);
  std::string line;
  line.reserve(16 + level.size() + category.size() + message.size());
  line.append(clock).append(" [").append(level).append("] ");
  line.append(category).append(": ").append(message).push_back('\n');
  return line;
}

void AgentLog::mirror(int fd, std::string_view level, std::string_view message) const {
  if (!mirrorToConsole_) return;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  writeAll(fd, consoleLine(local, level, category_, message));
}

void AgentLog::info(std::string_view message) const {
  writeSystemLog(LOG_INFO, category_, message);
  mirror(STDOUT_FILENO, "INFO", message);
}

void AgentLog::error(std::string_view message) const {
  writeSystemLog(LOG_ERR, category_, message);
  mirror(STDERR_FILENO, "ERROR", message);
}

void AgentLog::debug(std::string_view message) const {
  writeSystemLog(LOG_DEBUG, category_, message);
}

}  // namespace lumora::core
