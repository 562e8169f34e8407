#pragma once

// HAProxy running the account service's shipped configuration (packaging/haproxy), with only
// its addresses changed: the balancer in front of two instances, for the tests and benchmarks
// that put it there.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace lumora::testing_support {

class HaproxyProcess {
 public:
  // Balances `firstInstance` and `secondInstance` ("127.0.0.1:PORT"), writing the configuration
  // and the log into `folder`. With `certificate` (a PEM with the key) it ends TLS as shipped;
  // without, it speaks plain HTTP. Returns once the balancer accepts connections; throws when it
  // does not within 5 s.
  HaproxyProcess(const std::string& folder, const std::string& firstInstance,
                 const std::string& secondInstance,
                 const std::optional<std::string>& certificate = std::nullopt);
  ~HaproxyProcess();
  HaproxyProcess(const HaproxyProcess&) = delete;
  HaproxyProcess& operator=(const HaproxyProcess&) = delete;

  std::uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string log() const;

 private:
  std::string log_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace lumora::testing_support
