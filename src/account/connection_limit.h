#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace lumora::account {

// The connections each client address holds open, kept to a bound so that one address cannot
// take the service's memory and descriptors with connections that never finish a request. A
// connection holds a Slot from its acceptance until it closes (an HTTP connection that becomes
// a relay WebSocket keeps its slot); destroying the slot gives its place back.
//
// Threads: safe from any thread. Slots may outlive the limit that gave them.
class ConnectionLimit {
 private:
  struct Table;

 public:
  class Slot {
   public:
    Slot(Slot&& other) noexcept = default;
    Slot& operator=(Slot&& other) = delete;
    ~Slot();

   private:
    friend class ConnectionLimit;
    Slot(std::shared_ptr<Table> table, std::string address);

    std::shared_ptr<Table> table_;  // empty once moved from
    std::string address_;
  };

  struct Admission {
    std::optional<Slot> slot;  // nothing: the address holds the bound already
    // The address is refused for the first time since it last had no connection open: the
    // moment to say so once, rather than for every connection of a flood.
    bool startsRefusing = false;
  };

  // `perAddress` 0: no bound.
  explicit ConnectionLimit(std::size_t perAddress);

  Admission admit(const std::string& address);
  std::size_t perAddress() const;

 private:
  std::shared_ptr<Table> table_;
};

}  // namespace lumora::account
