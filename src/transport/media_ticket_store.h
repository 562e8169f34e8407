#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace lumora::transport {

// One-time tickets that admit a connection to the media channel. Issued by authenticated
// control connections, consumed by the media server; a ticket is live while its expiry is
// strictly later than now. Expired tickets are dropped by the next issue, consume or count.
// Thread-safe.
class MediaTicketStore {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  explicit MediaTicketStore(
      std::chrono::duration<double> ttl,
      Clock clock = [] { return std::chrono::system_clock::now(); });

  // A new ticket: 64 lower-case hexadecimal characters (32 random bytes).
  std::string issue();
  // True, and the ticket is gone, when it was live.
  bool consume(const std::string& ticket);
  std::size_t count();

 private:
  void dropExpired(std::chrono::system_clock::time_point now);

  std::mutex lock_;
  std::map<std::string, std::chrono::system_clock::time_point> expiries_;
  std::chrono::system_clock::duration ttl_;
  Clock clock_;
};

}  // namespace lumora::transport
