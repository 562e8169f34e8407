#include "file_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
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

TransferOptions transferOptions(const ParsedArgs& args) {
  TransferOptions options;
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

std::int64_t downloadToFile(sdk::AgentControlClient& client, const std::string& remote,
                            const std::string& local, const TransferOptions& options,
                            const ProgressHandler& progress) {
  LocalTarget target(local);
  const std::string what = "cannot get " + remote;
  std::deque<std::future<protocol::FileDownloadResult>> inFlight;
  std::int64_t nextOffset = 0;
  std::int64_t received = 0;
  std::int64_t total = -1;  // unknown until the first answer
  for (;;) {
    // The first request alone tells the size; then the window fills up to the end. A file
    // that grew meanwhile is followed one request at a time until the agent reports its end.
    while (inFlight.size() < options.window &&
           (inFlight.empty() || (total >= 0 && nextOffset < total))) {
      inFlight.push_back(client.downloadChunk(remote, nextOffset, options.chunkSize));
      nextOffset += options.chunkSize;
    }
    protocol::FileDownloadResult chunk = await(std::move(inFlight.front()), what);
    inFlight.pop_front();
    if (chunk.offset != received) {
      throw Failure(what + ": the agent answered for offset " + std::to_string(chunk.offset) +
                    " instead of " + std::to_string(received));
    }
    target.write(chunk.data);
    const auto size = static_cast<std::int64_t>(chunk.data.size());
    received += size;
    total = chunk.totalSize;
    if (progress) progress(received, std::max(total, received));
    if (chunk.eof || chunk.data.empty()) break;
    if (size != options.chunkSize) {
      // A short piece that is not the end (the file changed under us): the requests already
      // out aim at the wrong offsets, so start again from here.
      inFlight.clear();
      nextOffset = received;
    }
  }
  target.commit();
  return received;
}

std::int64_t uploadFromFile(sdk::AgentControlClient& client, const std::string& local,
                            const std::string& remote, const TransferOptions& options,
                            const ProgressHandler& progress) {
  int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw systemFailure("cannot read " + local);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw systemFailure("cannot read " + local);
  if (S_ISDIR(info.st_mode)) throw Failure("cannot put " + local + ": it is a directory");
  const std::int64_t size = info.st_size;
  const std::string what = "cannot put " + remote;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  auto piece = [&](std::int64_t offset) {
    const auto length = static_cast<std::size_t>(std::min(options.chunkSize, size - offset));
    protocol::Bytes data = readAt(fd, offset, length, local);
    if (data.size() != length) throw Failure("cannot read " + local + ": it shrank while sent");
    return data;
  };

  protocol::Bytes first = piece(0);
  std::int64_t sent = static_cast<std::int64_t>(first.size());
  await(client.uploadChunk(remote, std::move(first), 0, sent == size), what);
  std::int64_t acknowledged = sent;
  if (progress) progress(acknowledged, size);

  std::deque<std::pair<std::int64_t, std::future<void>>> inFlight;
  auto settleOldest = [&] {
    await(std::move(inFlight.front().second), what);
    acknowledged += inFlight.front().first;
    inFlight.pop_front();
    if (progress) progress(acknowledged, size);
  };
  while (sent < size) {
    if (inFlight.size() >= options.window) settleOldest();
    protocol::Bytes data = piece(sent);
    const auto length = static_cast<std::int64_t>(data.size());
    const bool isFinal = sent + length == size;
    inFlight.emplace_back(length, client.uploadChunk(remote, std::move(data), sent, isFinal));
    sent += length;
  }
  while (!inFlight.empty()) settleOldest();
  return sent;
}

}  // namespace lumora::cli
