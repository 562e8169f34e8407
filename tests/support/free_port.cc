#include "support/free_port.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace lumora::testing_support {

namespace {

// Binds a loopback TCP socket to `port` (0: any); the descriptor, or -1.
int bound(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::uint16_t freePortPair() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int first = bound(0);
    if (first < 0) break;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(first, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t port = ntohs(address.sin_port);
    const int second = port < 65535 ? bound(static_cast<std::uint16_t>(port + 1)) : -1;
    ::close(first);
    if (second >= 0) {
      ::close(second);
      return port;
    }
  }
  throw std::runtime_error("no two neighbouring free loopback ports");
}

}  // namespace lumora::testing_support
