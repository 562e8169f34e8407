#include "support/haproxy_process.h"

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "support/eventually.h"
#include "support/free_port.h"
#include "support/raw_client.h"
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
  const bool accepting = eventually(
      [&] {
        try {
          RawClient probe(port_);
          return true;
        } catch (const std::system_error&) {
          return false;
        }
      },
      std::chrono::seconds(5));
  if (accepting) return;
  endProcess(pid_);
  throw std::runtime_error("HAProxy did not come up: " + contentOf(log_));
}

HaproxyProcess::~HaproxyProcess() { endProcess(pid_); }

std::string HaproxyProcess::log() const { return contentOf(log_); }

}  // namespace lumora::testing_support
