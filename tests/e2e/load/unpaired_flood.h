#pragma once

// A crowd of peers that never pair, on both ports of the agent: connections held open without
// a byte, and connections that drip a byte at a time of a frame they never finish. An opening
// burst, then a steady trickle of newcomers while the flood runs, on a thread of its own.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "support/raw_client.h"

namespace lumora::load {

using testing_support::RawClient;

class UnpairedFlood {
 public:
  struct Size {
    int idleControl = 300;
    int idleMedia = 200;
    int dripControl = 100;
    int dripMedia = 100;
  };

  // Opens the opening burst before returning, then keeps dripping and adding newcomers.
  UnpairedFlood(std::uint16_t controlPort, std::uint16_t mediaPort, Size burst);
  ~UnpairedFlood();
  UnpairedFlood(const UnpairedFlood&) = delete;
  UnpairedFlood& operator=(const UnpairedFlood&) = delete;

  // Ends the drip and the newcomers; the connections stay open until destruction.
  void stop();

  // Connections the flood opened so far.
  int opened() const { return opened_; }
  // Newcomers whose connect failed (the agent stopped accepting and its backlog filled).
  int refused() const { return refused_; }

  // The first idle connections of the burst on each port, oldest first: the agent must have
  // shed them by now (control: evicted by newer waiting peers; media: ticket time-out).
  std::vector<RawClient> takeOldestIdleControl(std::size_t count);
  std::vector<RawClient> takeOldestIdleMedia(std::size_t count);

 private:
  void openIdle(std::uint16_t port, std::vector<RawClient>& into);
  void openDrip(std::uint16_t port, const protocol::Bytes* frame);
  void run();

  struct Drip {
    RawClient connection;
    const protocol::Bytes* frame;  // what it sends, a byte per tick
    std::size_t sent = 0;
  };

  const std::uint16_t controlPort_;
  const std::uint16_t mediaPort_;
  const protocol::Bytes controlFrame_;
  const protocol::Bytes ticketFrame_;
  std::mutex lock_;  // guards the connection lists
  std::vector<RawClient> idleControl_;
  std::vector<RawClient> idleMedia_;
  std::vector<Drip> drips_;
  std::atomic<int> opened_{0};
  std::atomic<int> refused_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace lumora::load
