#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace lumora::core {

// A component's log: every line goes to the system log under subsystem "halden.lumora.agent"
// with the component's category; info and error lines are mirrored to the console as
// "HH:MM:SS [LEVEL] category: message" (info on standard output, error on standard error,
// each line in one write). Debug lines never reach the console.
//
// Immutable; safe to call from any thread.
class AgentLog {
 public:
  static constexpr std::string_view kSubsystem = "halden.lumora.agent";

  explicit AgentLog(std::string category, bool mirrorToConsole = true);

  void info(std::string_view message) const;
  void error(std::string_view message) const;
  void debug(std::string_view message) const;

  const std::string& category() const { return category_; }

  // The console line for a message logged at local time `at`, line feed included.
  static std::string consoleLine(const std::tm& at, std::string_view level,
                                 std::string_view category, std::string_view message);

 private:
  void mirror(int fd, std::string_view level, std::string_view message) const;

  std::string category_;
  bool mirrorToConsole_;
};

}  // namespace lumora::core
