#include "services/clipboard/clipboard_staging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>

#include "platform/linux/atomic_file.h"

namespace lumora::services::clipboard_staging {

std::filesystem::path defaultDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::filesystem::path base = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  return base / "lumora-clipboard";
}

std::string stagedFileName(std::string_view name) {
  while (!name.empty() && name.back() == '/') name.remove_suffix(1);
  const auto slash = name.rfind('/');
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  if (name.empty() || name == "." || name == "..") return "pasted-file";
  return std::string(name);
}

namespace {

// True when `directory` exists (created now if needed) as a real directory of ours, 0700.
bool prepareDirectory(const std::filesystem::path& directory) {
  std::error_code ignored;
  std::filesystem::create_directories(directory.parent_path(), ignored);
  ::mkdir(directory.c_str(), 0700);
  struct stat info {};
  if (::lstat(directory.c_str(), &info) != 0) return false;
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return false;
  return (info.st_mode & 0777) == 0700 || ::chmod(directory.c_str(), 0700) == 0;
}

}  // namespace

std::optional<std::filesystem::path> stageFile(const std::filesystem::path& directory,
                                               std::string_view name, protocol::ByteView data) {
  if (!prepareDirectory(directory)) return std::nullopt;
  const std::filesystem::path path = directory / stagedFileName(name);
  try {
    // Atomic replacement also replaces a symlink of that name rather than writing through it.
    platform::linux_os::writeFileAtomically(path.string(), data, 0600);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return path;
}

}  // namespace lumora::services::clipboard_staging
