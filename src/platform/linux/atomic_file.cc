#include "platform/linux/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <system_error>
#include <vector>

#include "platform/linux/unique_fd.h"

namespace lumora::platform::linux_os {
namespace {

[[noreturn]] void throwErrno() { throw std::system_error(errno, std::generic_category()); }

// ".<name>.tmp-": what the temporaries of `target` are called, before the writer's process id.
std::string temporaryPrefix(const std::filesystem::path& target) {
  return "." + target.filename().string() + ".tmp-";
}

}  // namespace

void writeFileAtomically(const std::string& path, protocol::ByteView data, mode_t mode) {
  const std::filesystem::path target(path);
  std::filesystem::path directory = target.parent_path();
  if (directory.empty()) directory = ".";
  // The writer's process id in the name tells a temporary abandoned by a killed writer from one
  // that is being written.
  std::string temporary =
      (directory / (temporaryPrefix(target) + std::to_string(::getpid()) + "-XXXXXX")).string();
  // mkostemp creates the file 0600; fchmod below only ever widens it to what was asked.
  UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) throwErrno();
  try {
    if (::fchmod(fd.get(), mode) != 0) throwErrno();
    std::size_t written = 0;
    while (written < data.size()) {
      ssize_t n = ::write(fd.get(), data.data() + written, data.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throwErrno();
      written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) throwErrno();
    if (::rename(temporary.c_str(), path.c_str()) != 0) throwErrno();
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  // Make the rename itself durable; a failure here leaves a correct file behind, so it is not
  // reported.
  UniqueFd directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directoryFd) ::fsync(directoryFd.get());
}

bool makePrivateDirectory(const std::filesystem::path& directory) {
  // Folders missing on the way are made this user's alone too, whatever the umask: nothing
  // about the path to a secret is shown to others.
  std::vector<std::filesystem::path> missing;
  std::error_code unknown;
  for (auto folder = directory; !folder.empty() && !std::filesystem::exists(folder, unknown) &&
                                !unknown && folder != folder.parent_path();
       folder = folder.parent_path()) {
    missing.push_back(folder);
  }
  for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
    if (::mkdir(folder->c_str(), 0700) == 0) ::chmod(folder->c_str(), 0700);
  }
  struct stat info {};
  if (::lstat(directory.c_str(), &info) != 0) return false;
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return false;
  return (info.st_mode & 0777) == 0700 || ::chmod(directory.c_str(), 0700) == 0;
}

void removeAbandonedTemporaries(const std::string& path) {
  const std::filesystem::path target(path);
  std::filesystem::path directory = target.parent_path();
  if (directory.empty()) directory = ".";
  const std::string prefix = temporaryPrefix(target);
  std::error_code ec;
  for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    char* rest = nullptr;
    const long writer = std::strtol(name.c_str() + prefix.size(), &rest, 10);
    if (rest == name.c_str() + prefix.size() || *rest != '-' || writer <= 0 ||
        writer > std::numeric_limits<pid_t>::max()) {
      continue;
    }
    // Only a writer that no longer exists has abandoned its file (EPERM: it exists).
    if (::kill(static_cast<pid_t>(writer), 0) != 0 && errno == ESRCH) ::unlink(it->path().c_str());
  }
}

}  // namespace lumora::platform::linux_os
