#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "protocol/limits.h"

namespace lumora::account {

// The relay's bounds, per connection.
struct RelayLimits {
  // A bigger message closes its sender (WebSocket close 1009).
  std::size_t maxMessageBytes = protocol::kMaxRelayMessageBytes;
  // What may wait to be written to one side. Past it the other side is not read from (its
  // bytes wait in TCP) until this side catches up ...
  std::size_t maxQueuedBytes = 32u << 20;
  // ... and a side that does not catch up within this time is closed as a slow reader.
  std::chrono::milliseconds stallTimeout = std::chrono::seconds(10);
  // A side alone in its room may send no more than this in one message (what it sends goes
  // nowhere), so a connection without a partner cannot make the relay hold much for it.
  std::size_t maxAloneMessageBytes = 64u << 10;
  // Rooms open at once; a host that would open one more is refused.
  std::size_t maxRooms = 50000;
  // How long a host has to answer the relay's challenge.
  std::chrono::milliseconds hostProofTimeout = std::chrono::seconds(10);
};

// A whole message on its way from one side to the other. The bytes stay in the buffer the
// sender read them into (held by `storage`): relaying copies nothing.
struct RelayMessage {
  std::shared_ptr<const void> storage;
  const void* data = nullptr;
  std::size_t size = 0;
  bool text = false;  // the relay's own notice to the host, not the other side's bytes
};

// One WebSocket connection in a room, as the room sees it. Every call is thread-safe: the
// connection carries it out on its own strand.
class RelayEndpoint {
 public:
  virtual ~RelayEndpoint() = default;
  // The other side has joined; from now on binary messages go to it.
  virtual void pairWith(std::shared_ptr<RelayEndpoint> partner) = 0;
  // A text message of the relay's own, written in order with what the partner sends.
  virtual void notice(std::string text) = 0;
  // The account whose relay token admitted this side (empty for the host).
  virtual const std::string& account() const = 0;
  // The other side has gone: write what is queued, then close with 1000.
  virtual void partnerLeft() = 0;
  // A whole binary message from the other side, to be written in arrival order.
  virtual void deliver(RelayMessage message) = 0;
  // Bytes queued for writing to this side (read from the other side's strand).
  virtual std::size_t queuedBytes() const = 0;
  // This side's partner has drained its queue: reading may go on.
  virtual void resumeReading() = 0;
  // This side has fallen behind for too long: drop it without a closing handshake.
  virtual void closeAsSlowReader() = 0;
  // The service is going away: close with 1012 (service restart), which tells the agent and
  // the phone to join again at once, on another instance.
  virtual void closeForRestart() = 0;
};

enum class RelaySide { host, peer };

// Which connections are in which room: at most one host and one peer each. A room opens with its
// host (which has proved that it holds the room's key); a peer joins only a room whose host is
// there, is introduced to the host by a "peer" notice, and the two are paired.
//
// Threads: safe from any thread; holds its lock only to read and write the map, never while
// calling an endpoint.
class RelayRooms {
 public:
  explicit RelayRooms(std::size_t maxRooms = RelayLimits{}.maxRooms) : maxRooms_(maxRooms) {}

  enum class Join { joined, occupied, noHost, full, draining };
  Join join(const std::string& room, RelaySide side,
            const std::shared_ptr<RelayEndpoint>& endpoint);
  // What joining would answer now, without joining: for refusing an upgrade before it is taken.
  Join wouldJoin(const std::string& room, RelaySide side);
  // Ends the room if `endpoint` still holds its side's slot, and tells the other side, which is
  // closed in its turn.
  void leave(const std::string& room, RelaySide side, const RelayEndpoint* endpoint);
  std::size_t roomCount();
  // From now on nobody joins (Join::draining), and every side of every room is closed for a
  // restart.
  void closeAllForRestart();
  bool draining();

 private:
  struct Room {
    std::weak_ptr<RelayEndpoint> host;
    std::weak_ptr<RelayEndpoint> peer;
  };
  // Under lock_.
  Join check(const std::string& room, RelaySide side);

  const std::size_t maxRooms_;
  std::mutex lock_;
  std::map<std::string, Room> rooms_;
  bool draining_ = false;
};

}  // namespace lumora::account
