#include "local_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "failure.h"
#include "platform/linux/unique_fd.h"

namespace lumora::cli {

namespace {

Failure systemFailure(const std::string& what, const std::string& path) {
  return Failure(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

std::optional<protocol::Bytes> readLocalFile(const std::string& path, std::size_t limit) {
  platform::linux_os::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0) throw systemFailure("cannot read", path);
  if (S_ISDIR(info.st_mode)) throw Failure("cannot read " + path + ": it is a directory");
  if (static_cast<std::uint64_t>(info.st_size) > limit) return std::nullopt;
  // One byte more than the file had when measured shows one that grew meanwhile.
  protocol::Bytes data(std::min(static_cast<std::size_t>(info.st_size), limit) + 1);
  std::size_t got = 0;
  while (got < data.size()) {
    const ssize_t n = ::read(fd.get(), data.data() + got, data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw systemFailure("cannot read", path);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > limit) return std::nullopt;
  if (got == data.size()) throw Failure("cannot read " + path + ": it grew while read");
  data.resize(got);
  return data;
}

void writeLocalFile(const std::string& path, protocol::ByteView data, Existing existing) {
  const int flags =
      O_WRONLY | O_CREAT | O_CLOEXEC | (existing == Existing::refuse ? O_EXCL : O_TRUNC);
  platform::linux_os::UniqueFd fd(::open(path.c_str(), flags, 0666));
  if (!fd && errno == EEXIST) {
    throw Failure("cannot write " + path + ": it exists already (--force replaces it)");
  }
  if (!fd) throw systemFailure("cannot write", path);
  for (std::size_t written = 0; written < data.size();) {
    ssize_t n = ::write(fd.get(), data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const Failure failure = systemFailure("cannot write", path);
      if (existing == Existing::refuse) ::unlink(path.c_str());  // ours alone: made just now
      throw failure;
    }
    written += static_cast<std::size_t>(n);
  }
  if (::close(fd.release()) != 0) throw systemFailure("cannot write", path);
}

}  // namespace lumora::cli
