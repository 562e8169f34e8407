#include "transport/media_ticket_store.h"

#include <iterator>

#include "protocol/auth_crypto.h"
#include "protocol/hex.h"

namespace lumora::transport {

MediaTicketStore::MediaTicketStore(std::chrono::duration<double> ttl, Clock clock)
    : ttl_(std::chrono::duration_cast<std::chrono::system_clock::duration>(ttl)),
      clock_(std::move(clock)) {}

void MediaTicketStore::dropExpired(std::chrono::system_clock::time_point now) {
  std::erase_if(expiries_, [now](const auto& entry) { return entry.second <= now; });
}

std::string MediaTicketStore::issue() {
  std::string ticket = protocol::hexString(protocol::AuthCrypto::randomNonce(32));
  std::lock_guard guard(lock_);
  auto now = clock_();
  dropExpired(now);
  expiries_[ticket] = now + ttl_;
  return ticket;
}

bool MediaTicketStore::consume(const std::string& ticket) {
  std::lock_guard guard(lock_);
  auto now = clock_();
  dropExpired(now);
  auto found = expiries_.find(ticket);
  if (found == expiries_.end()) return false;
  expiries_.erase(found);
  return true;
}

std::size_t MediaTicketStore::count() {
  std::lock_guard guard(lock_);
  dropExpired(clock_());
  return expiries_.size();
}

}  // namespace lumora::transport
