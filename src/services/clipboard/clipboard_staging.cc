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

std::optional<std::filesystem::path> stageFile(const std::filesystem::path& directory,
                                               std::string_view name, protocol::ByteView data) {
  if (!platform::linux_os::makePrivateDirectory(directory)) return std::nullopt;
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
