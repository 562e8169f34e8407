#include "support/haproxy_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/free_port.h"
#include "support/spawn.h"
#include "support/temp_dir.h"

namespace lumora::testing_support {

namespace {

// Every occurrence of `from` in `text` replaced by `to`; throws when there is none, so that a
// change to the shipped file cannot leave a test quietly balancing the shipped addresses.
void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  std::size_t at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("not in the configuration: " + from);
  for (; at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

bool accepts(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

}  // namespace

HaproxyProcess::HaproxyProcess(const std::string& folder, const std::string& firstInstance,
                               const std::string& secondInstance,
                               const std::optional<std::string>& certificate)
    : log_(folder + "/haproxy.log"), port_(freePortPair()) {
  std::string config = contentOf(LUMORA_HAPROXY_CONFIG);
  const std::string listen = "bind 127.0.0.1:" + std::to_string(port_);
  if (certificate) {
    replaceAll(config, "bind :443 ", listen + " ");
    replaceAll(config, "/etc/haproxy/certs/lumora.pem", *certificate);
  } else {
    replaceAll(config, "bind :443 ssl crt /etc/haproxy/certs/lumora.pem alpn http/1.1", listen);
  }
  replaceAll(config, "127.0.0.1:8781", firstInstance);
  replaceAll(config, "127.0.0.1:8782", secondInstance);
  const std::string file = folder + "/haproxy.cfg";
  std::ofstream(file) << config;
  pid_ = spawnProcess({"/usr/sbin/haproxy", "-db", "-f", file}, {.output = log_, .error = log_});
  for (int i = 0; i < 250; ++i) {
    if (accepts(port_)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  endProcess(pid_);
  throw std::runtime_error("HAProxy did not come up: " + contentOf(log_));
}

HaproxyProcess::~HaproxyProcess() { endProcess(pid_); }

std::string HaproxyProcess::log() const { return contentOf(log_); }

}  // namespace lumora::testing_support
