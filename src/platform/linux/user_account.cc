#include "platform/linux/user_account.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace lumora::platform::linux_os {
namespace {

// Calls `use` with the password database entry of `user` (the agent's own when null).
template <class Use>
auto withPasswordEntry(const char* user, Use use) -> decltype(use(std::declval<passwd&>())) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  int error = user ? getpwnam_r(user, &entry, buffer.data(), buffer.size(), &found)
                   : getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
  if (error != 0 || found == nullptr) return std::nullopt;
  return use(*found);
}

std::optional<std::string> nonEmpty(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  return std::string(text);
}

}  // namespace

std::string homeDirectory() {
  if (auto home = nonEmpty(std::getenv("HOME"))) return *home;
  return withPasswordEntry(nullptr, [](passwd& entry) { return nonEmpty(entry.pw_dir); })
      .value_or("/");
}

std::optional<std::string> homeDirectoryOf(const std::string& user) {
  return withPasswordEntry(user.c_str(), [](passwd& entry) { return nonEmpty(entry.pw_dir); });
}

std::string loginShell() {
  if (auto shell =
          withPasswordEntry(nullptr, [](passwd& entry) { return nonEmpty(entry.pw_shell); })) {
    return *shell;
  }
  return nonEmpty(std::getenv("SHELL")).value_or("/bin/sh");
}

std::filesystem::path configHome() {
  const char* configured = std::getenv("XDG_CONFIG_HOME");
  if (configured != nullptr && configured[0] == '/') return configured;
  return std::filesystem::path(homeDirectory()) / ".config";
}

}  // namespace lumora::platform::linux_os
