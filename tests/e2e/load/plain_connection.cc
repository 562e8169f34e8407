#include "plain_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace lumora::load {

using Clock = std::chrono::steady_clock;

PlainConnection::PlainConnection(std::uint16_t port, int receiveBuffer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  if (receiveBuffer > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    throw std::system_error(error, std::generic_category(), "connect");
  }
}

PlainConnection::~PlainConnection() {
  if (fd_ >= 0) ::close(fd_);
}

PlainConnection::PlainConnection(PlainConnection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

PlainConnection& PlainConnection::operator=(PlainConnection&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool PlainConnection::trySend(protocol::ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  return true;
}

std::optional<std::size_t> PlainConnection::receiveSome(std::uint8_t* data, std::size_t size,
                                                        std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd ready{fd_, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(std::max<long>(left.count(), 0)));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return 0;
    const ssize_t n = ::recv(fd_, data, size, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return std::nullopt;
    return static_cast<std::size_t>(n);
  }
}

bool PlainConnection::closedWithin(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::uint8_t discard[4096];
  while (Clock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!receiveSome(discard, sizeof discard, left)) return true;
  }
  return false;
}

}  // namespace lumora::load
