#include "account/relay_rooms.h"

namespace lumora::account {

RelayRooms::Join RelayRooms::join(const std::string& room, RelaySide side,
                                  const std::shared_ptr<RelayEndpoint>& endpoint) {
  std::shared_ptr<RelayEndpoint> partner;
  {
    std::lock_guard guard(lock_);
    Room& slots = rooms_[room];
    auto& mine = side == RelaySide::host ? slots.host : slots.peer;
    // A slot whose connection has already gone is free even before it has said so.
    if (mine.lock()) return Join::occupied;
    mine = endpoint;
    partner = (side == RelaySide::host ? slots.peer : slots.host).lock();
  }
  if (partner) {
    endpoint->pairWith(partner);
    partner->pairWith(endpoint);
  }
  return Join::joined;
}

void RelayRooms::leave(const std::string& room, RelaySide side, const RelayEndpoint* endpoint) {
  std::shared_ptr<RelayEndpoint> partner;
  {
    std::lock_guard guard(lock_);
    auto found = rooms_.find(room);
    if (found == rooms_.end()) return;
    auto& mine = side == RelaySide::host ? found->second.host : found->second.peer;
    auto& theirs = side == RelaySide::host ? found->second.peer : found->second.host;
    if (mine.lock().get() != endpoint) return;  // no longer this room's: its partner left first
    partner = theirs.lock();
    // The partner is closed in its turn, so the room is over for both: whoever joins next starts
    // a fresh pair instead of meeting a connection on its way out.
    rooms_.erase(found);
  }
  if (partner) partner->partnerLeft();
}

std::size_t RelayRooms::roomCount() {
  std::lock_guard guard(lock_);
  return rooms_.size();
}

}  // namespace lumora::account
