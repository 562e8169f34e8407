#include "account/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace lumora::account {
namespace {

// `path` as a shell word, so that the command in the message can be pasted as it is.
std::string shellWord(const std::string& path) {
  const bool plain = !path.empty() && path.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789/._-+,:@%") == std::string::npos;
  if (plain) return path;
  std::string quoted = "'";
  for (char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

std::optional<std::string> createPrivateFile(const std::string& path) {
  // Folder by folder, so that each one this creates is 0700 whatever the umask allows; the ones
  // that exist already are left as their owner made them.
  std::filesystem::path folder;
  for (const auto& part : std::filesystem::path(path).parent_path()) {
    folder /= part;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      return "cannot create " + folder.string() + ": " + std::strerror(errno);
    }
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return "cannot create " + path + ": " + std::strerror(errno);
  ::close(fd);
  return std::nullopt;
}

std::optional<std::string> openToOthers(const std::vector<std::string>& paths,
                                        std::string_view holds) {
  std::vector<std::string> open;
  for (const auto& path : paths) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
      open.push_back(path);
    }
  }
  if (open.empty()) return std::nullopt;
  std::string names, words;
  for (const auto& path : open) {
    names += (names.empty() ? "" : ", ") + path;
    words += " " + shellWord(path);
  }
  return names + (open.size() == 1 ? " is" : " are") + " open to other users and " +
         (open.size() == 1 ? "holds " : "hold ") + std::string(holds) + ": run chmod 600" + words;
}

}  // namespace lumora::account
