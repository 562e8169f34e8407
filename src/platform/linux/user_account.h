#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace lumora::platform::linux_os {

// The agent user's home: $HOME, else the password database's entry, else "/".
std::string homeDirectory();

// Where the user's settings go: $XDG_CONFIG_HOME when absolute (a relative one is invalid and
// ignored), else ~/.config.
std::filesystem::path configHome();

// Another user's home from the password database; nothing for an unknown user.
std::optional<std::string> homeDirectoryOf(const std::string& user);

// The agent user's login shell from the password database, else $SHELL, else /bin/sh.
std::string loginShell();

}  // namespace lumora::platform::linux_os
