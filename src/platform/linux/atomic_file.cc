#include "platform/linux/atomic_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/linux/unique_fd.h"

namespace lumora::platform::linux_os {
namespace {

[[noreturn]] void throwErrno() { throw std::system_error(errno, std::generic_category()); }

}  // namespace

void writeFileAtomically(const std::string& path, protocol::ByteView data, mode_t mode) {
  const std::filesystem::path target(path);
  std::filesystem::path directory = target.parent_path();
  if (directory.empty()) directory = ".";
  std::string temporary = (directory / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
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

}  // namespace lumora::platform::linux_os
