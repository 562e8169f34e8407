#include "local_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "failure.h"
#include "platform/linux/unique_fd.h"

namespace lumora::cli {

namespace {

Failure systemFailure(const std::string& what, const std::string& path) {
  return Failure(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

protocol::Bytes readLocalFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw systemFailure("cannot read", path);
  return protocol::Bytes(std::istreambuf_iterator<char>(in), {});
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
