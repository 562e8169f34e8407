#include "account/relay_rooms.h"

#include <vector>

#include "protocol/relay_notices.h"

namespace lumora::account {

RelayRooms::Join RelayRooms::check(const std::string& room, RelaySide side) {
  if (draining_) return Join::draining;
  auto found = rooms_.find(room);
  if (found == rooms_.end()) {
    if (side == RelaySide::peer) return Join::noHost;
    return rooms_.size() >= maxRooms_ ? Join::full : Join::joined;
  }
  // A slot whose connection has already gone is free even before it has said so.
  const bool hosted = found->second.host.lock() != nullptr;
  if (side == RelaySide::host) return hosted ? Join::occupied : Join::joined;
  if (!hosted) return Join::noHost;
  return found->second.peer.lock() ? Join::occupied : Join::joined;
}

RelayRooms::Join RelayRooms::wouldJoin(const std::string& room, RelaySide side) {
  std::lock_guard guard(lock_);
  return check(room, side);
}

RelayRooms::Join RelayRooms::join(const std::string& room, RelaySide side,
                                  const std::shared_ptr<RelayEndpoint>& endpoint) {
  std::shared_ptr<RelayEndpoint> host;
  {
    std::lock_guard guard(lock_);
    const Join answer = check(room, side);
    if (answer != Join::joined) return answer;
    Room& slots = rooms_[room];
    (side == RelaySide::host ? slots.host : slots.peer) = endpoint;
    if (side == RelaySide::peer) host = slots.host.lock();
  }
  if (host) {
    // The host learns who joined before anything the peer sends reaches it.
    host->notice(protocol::RelayNotice::peerJoined(endpoint->account()));
    endpoint->pairWith(host);
    host->pairWith(endpoint);
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

void RelayRooms::closeAllForRestart() {
  std::vector<std::shared_ptr<RelayEndpoint>> everyone;
  {
    std::lock_guard guard(lock_);
    draining_ = true;
    for (const auto& [name, room] : rooms_) {
      for (const auto* side : {&room.host, &room.peer}) {
        if (auto endpoint = side->lock()) everyone.push_back(std::move(endpoint));
      }
    }
  }
  for (const auto& endpoint : everyone) endpoint->closeForRestart();
}

bool RelayRooms::draining() {
  std::lock_guard guard(lock_);
  return draining_;
}

}  // namespace lumora::account
