#include "file_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "failure.h"
#include "protocol/limits.h"

namespace lumora::cli {

namespace {

Failure systemFailure(const std::string& what) {
  return Failure(what + ": " + std::strerror(errno));
}

void writeAll(int fd, const std::uint8_t* data, std::size_t size, const std::string& name) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw systemFailure("cannot write " + name);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Reads exactly `size` bytes at `offset`; fewer only when the file ends early.
protocol::Bytes readAt(int fd, std::int64_t offset, std::size_t size, const std::string& name) {
  protocol::Bytes data(size);
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = ::pread(fd, data.data() + got, size - got,
                        static_cast<off_t>(offset) + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw systemFailure("cannot read " + name);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  data.resize(got);
  return data;
}

// The download's destination: a temporary file renamed over the target on commit, removed
// if the download fails; or standard output.
class LocalTarget {
 public:
  explicit LocalTarget(const std::string& local) : name_(local) {
    if (local == "-") {
      fd_ = STDOUT_FILENO;
      return;
    }
    temporary_ = local + ".lumora-XXXXXX";
    fd_ = ::mkstemp(temporary_.data());
    if (fd_ < 0) throw systemFailure("cannot write " + local);
  }
  ~LocalTarget() {
    if (temporary_.empty()) return;
    if (fd_ >= 0) ::close(fd_);
    ::unlink(temporary_.c_str());
  }
  LocalTarget(const LocalTarget&) = delete;
  LocalTarget& operator=(const LocalTarget&) = delete;

  void write(const protocol::Bytes& data) { writeAll(fd_, data.data(), data.size(), name_); }

  void commit() {
    if (temporary_.empty()) return;
    // mkstemp made it private; give it the mode a new file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    int fd = std::exchange(fd_, -1);
    if (::fchmod(fd, 0666 & ~mask) != 0 || ::close(fd) != 0 ||
        ::rename(temporary_.c_str(), name_.c_str()) != 0) {
      throw systemFailure("cannot write " + name_);
    }
    temporary_.clear();
  }

 private:
  std::string name_;
  std::string temporary_;
  int fd_ = -1;
};

}  // namespace

sdk::TransferOptions transferOptions(const command_line::ParsedArgs& args) {
  sdk::TransferOptions options;
  constexpr std::int64_t kKiB = 1024;
  if (auto kib = args.integer("chunk-kib", 1, std::numeric_limits<std::int64_t>::max())) {
    // Asking for more than the agent sends at once only makes every reply look short.
    options.chunkSize = std::min(*kib, protocol::kMaxFileChunkLength / kKiB) * kKiB;
  }
  if (auto window = args.integer("window", 1, 256)) {
    options.window = static_cast<std::size_t>(*window);
  }
  return options;
}

namespace {

// Runs a transfer of the client library's; what stops it becomes Failure("<what>: <reason>"),
// and a Failure of our own (a local file) passes as it is.
template <class Transfer>
std::int64_t run(const std::string& what, Transfer&& transfer) {
  try {
    return transfer();
  } catch (const Failure&) {
    throw;
  } catch (...) {
    throw Failure(what + ": " + reasonOf(std::current_exception()));
  }
}

}  // namespace

std::int64_t downloadToFile(sdk::AgentControlClient& client, const std::string& remote,
                            const std::string& local, const sdk::TransferOptions& options,
                            const sdk::TransferProgress& progress) {
  LocalTarget target(local);
  const std::int64_t received = run("cannot get " + remote, [&] {
    return sdk::downloadFile(
        client, remote, [&](const protocol::Bytes& piece) { target.write(piece); }, options,
        progress);
  });
  target.commit();
  return received;
}

std::int64_t uploadFromFile(sdk::AgentControlClient& client, const std::string& local,
                            const std::string& remote, const sdk::TransferOptions& options,
                            const sdk::TransferProgress& progress) {
  int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw systemFailure("cannot read " + local);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw systemFailure("cannot read " + local);
  if (S_ISDIR(info.st_mode)) throw Failure("cannot put " + local + ": it is a directory");
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  auto source = [&](std::int64_t offset, std::size_t length) {
    protocol::Bytes data = readAt(fd, offset, length, local);
    if (data.size() != length) throw Failure("cannot read " + local + ": it shrank while sent");
    return data;
  };
  return run("cannot put " + remote, [&] {
    return sdk::uploadFile(client, info.st_size, source, remote, options, progress);
  });
}

}  // namespace lumora::cli
