#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace lumora::platform::wayland {

// The newest restore token the desktop portal handed out, kept in one file of its own (0600,
// in a folder only this user can enter) so the consent dialog shows once, not at every start.
class RestoreTokenFile {
 public:
  explicit RestoreTokenFile(std::filesystem::path file) : file_(std::move(file)) {}

  // None when there is no token (or the file cannot be read, or holds no token).
  std::optional<std::string> load() const;
  // Replaces the token; none removes it (a token is good for one start only). Failures are
  // logged, not thrown: without the file the user is asked again, nothing worse.
  void store(const std::optional<std::string>& token) const;

  const std::filesystem::path& path() const { return file_; }

 private:
  std::filesystem::path file_;
};

}  // namespace lumora::platform::wayland
