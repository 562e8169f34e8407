#include "support/free_port.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

namespace lumora::testing_support {

namespace {

// Linux hands out ephemeral ports from 32768 up by default.
constexpr int kLowest = 20000;
constexpr int kHighest = 32700;

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
  // Below the system's range for ephemeral ports: a port from there could be handed to another
  // test's outgoing connection or port-0 listener between this check and the program's bind.
  std::random_device seed;
  std::uniform_int_distribution<int> pick(kLowest, kHighest);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const auto port = static_cast<std::uint16_t>(pick(seed));
    const int first = bound(port);
    if (first < 0) continue;
    const int second = bound(static_cast<std::uint16_t>(port + 1));
    ::close(first);
    if (second >= 0) {
      ::close(second);
      return port;
    }
  }
  throw std::runtime_error("no two neighbouring free loopback ports");
}

}  // namespace lumora::testing_support
