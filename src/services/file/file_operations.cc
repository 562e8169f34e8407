#include "services/file/file_operations.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/linux/atomic_file.h"
#include "platform/linux/unique_fd.h"
#include "platform/linux/user_account.h"

namespace lumora::services::file_operations {
namespace {

namespace fs = std::filesystem;
using platform::linux_os::UniqueFd;

[[noreturn]] void throwErrno(int error = errno) {
  throw std::system_error(error, std::generic_category());
}

void check(const std::error_code& ec) {
  if (ec) throw std::system_error(ec.value(), std::generic_category());
}

// Opens `path` for reading only if it is a regular file. O_NONBLOCK keeps a FIFO from
// blocking the open; the type is checked before opening (a device may act on open) and again
// on the open descriptor (the path may have changed in between).
UniqueFd openRegularForReading(const std::string& path, struct stat& info) {
  if (::stat(path.c_str(), &info) != 0) throwErrno();
  if (!S_ISREG(info.st_mode)) throw FileError("not a regular file: " + path);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) throwErrno();
  if (::fstat(fd.get(), &info) != 0) throwErrno();
  if (!S_ISREG(info.st_mode)) throw FileError("not a regular file: " + path);
  return fd;
}

// Reads up to `count` bytes at `offset`; fewer only at the end of the file.
Bytes readAt(int fd, std::int64_t offset, std::int64_t count) {
  Bytes data(static_cast<std::size_t>(count));
  std::size_t got = 0;
  while (got < data.size()) {
    ssize_t n = ::pread(fd, data.data() + got, data.size() - got,
                        static_cast<off_t>(offset + static_cast<std::int64_t>(got)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throwErrno();
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  data.resize(got);
  return data;
}

void writeAt(int fd, const Bytes& data, std::int64_t offset) {
  std::size_t put = 0;
  while (put < data.size()) {
    ssize_t n = ::pwrite(fd, data.data() + put, data.size() - put,
                         static_cast<off_t>(offset + static_cast<std::int64_t>(put)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throwErrno();
    put += static_cast<std::size_t>(n);
  }
}

// The process's umask, read without changing it (umask(2) can only set it, and setting it
// briefly would race with other threads creating files).
mode_t processUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0)
      return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
  }
  return 022;
}

}  // namespace

std::string expandTilde(const std::string& path) {
  if (path.empty() || path.front() != '~') return path;
  std::size_t slash = path.find('/');
  std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  auto home = user.empty() ? std::optional(platform::linux_os::homeDirectory())
                           : platform::linux_os::homeDirectoryOf(user);
  if (!home) return path;
  std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
  // "/" as a home must not give "//x".
  if (*home == "/" && !rest.empty()) return rest;
  return *home + rest;
}

std::string resolvePath(const std::string& path) {
  std::string expanded = expandTilde(path);
  if (expanded.empty()) expanded = ".";
  std::error_code ec;
  fs::path absolute = fs::absolute(expanded, ec);
  check(ec);
  std::string text = absolute.string();
  // A file URL's path never ends in a separator (except the root itself).
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

Listing list(const std::string& path) {
  const fs::path directory = resolvePath(path);
  Listing listing;
  std::error_code ec;
  fs::directory_iterator it(directory, ec);
  check(ec);
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    check(ec);
    ++listing.nameCount;
    Entry entry;
    entry.name = it->path().filename().string();
    entry.path = (directory / entry.name).string();
    struct stat info {};
    if (::lstat(entry.path.c_str(), &info) == 0) {
      entry.isDirectory = S_ISDIR(info.st_mode);
      entry.size = static_cast<std::int64_t>(info.st_size);
      entry.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec);
    } else if (::stat(entry.path.c_str(), &info) == 0) {
      entry.isDirectory = S_ISDIR(info.st_mode);
    } else {
      continue;  // gone since the directory was read
    }
    listing.entries.push_back(std::move(entry));
  }
  check(ec);
  // Byte order of UTF-8 names is code-point order.
  std::stable_sort(listing.entries.begin(), listing.entries.end(),
                   [](const Entry& a, const Entry& b) {
                     if (a.isDirectory != b.isDirectory) return a.isDirectory;
                     return a.name < b.name;
                   });
  return listing;
}

Bytes read(const std::string& path) {
  struct stat info {};
  UniqueFd fd = openRegularForReading(resolvePath(path), info);
  // The size is a hint: a file that grows while it is read is read to its end.
  Bytes data = readAt(fd.get(), 0, static_cast<std::int64_t>(info.st_size));
  for (;;) {
    Bytes more = readAt(fd.get(), static_cast<std::int64_t>(data.size()), 65536);
    if (more.empty()) break;
    data.insert(data.end(), more.begin(), more.end());
  }
  return data;
}

Chunk readChunk(const std::string& path, std::int64_t offset, std::optional<std::int64_t> length) {
  struct stat info {};
  UniqueFd fd = openRegularForReading(resolvePath(path), info);
  Chunk chunk;
  chunk.totalSize = static_cast<std::int64_t>(info.st_size);
  const std::int64_t start = std::max<std::int64_t>(offset, 0);
  std::int64_t count = std::min(length.value_or(kMaxChunkLength), kMaxChunkLength);
  count = std::max<std::int64_t>(count, 0);
  chunk.data = readAt(fd.get(), start, count);
  chunk.eof = start + static_cast<std::int64_t>(chunk.data.size()) >= chunk.totalSize;
  return chunk;
}

void write(const std::string& path, const Bytes& data) {
  const std::string target = resolvePath(path);
  // A replaced file keeps its permissions; a new one gets the usual ones for new files.
  struct stat existing {};
  mode_t mode;
  if (::stat(target.c_str(), &existing) == 0) {
    mode = existing.st_mode & 07777;
  } else {
    mode = 0666 & ~processUmask();
  }
  platform::linux_os::writeFileAtomically(target, data, mode);
}

void writeChunk(const std::string& path, const Bytes& data, std::int64_t offset, bool isFinal) {
  if (offset < 0) throw FileError("invalid offset " + std::to_string(offset) + " for " + path);
  if (offset == 0) {
    write(path, data);
    return;
  }
  const std::string target = resolvePath(path);
  struct stat before {};
  if (::stat(target.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) {
    throw FileError("not a regular file: " + path);
  }
  UniqueFd fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) throwErrno();
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throwErrno();
  if (!S_ISREG(info.st_mode)) throw FileError("not a regular file: " + path);
  writeAt(fd.get(), data, offset);
  if (isFinal && ::ftruncate(fd.get(), static_cast<off_t>(
                                           offset + static_cast<std::int64_t>(data.size()))) != 0) {
    throwErrno();
  }
}

void move(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  int error = errno;
  if (error == EINVAL || error == ENOSYS) {
    // The file system cannot refuse to replace; check first instead.
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0) throwErrno(EEXIST);
    if (::rename(from.c_str(), to.c_str()) == 0) return;
    error = errno;
  }
  if (error != EXDEV) throwErrno(error);

  struct stat existing {};
  if (::lstat(to.c_str(), &existing) == 0) throwErrno(EEXIST);
  std::error_code ec;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove_all(to, ignored);
    check(ec);
  }
  fs::remove_all(from, ec);
  check(ec);
}

void remove(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) throwErrno();
  std::error_code ec;
  fs::remove_all(path, ec);
  check(ec);
}

}  // namespace lumora::services::file_operations
