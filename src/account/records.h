#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "protocol/account_records.h"

namespace lumora::account {

// Milliseconds since the Unix epoch: what the stores keep and the clock gives.
using Millis = std::int64_t;
// What time it is, as the service sees it; tests pass one they can move.
using Clock = std::function<Millis()>;

inline Millis systemNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// An account: one identity at one provider ("google", "github", "apple", "dev").
struct User {
  std::string id;
  std::string provider;
  std::string subject;  // the provider's own identifier of the person; never shown
  std::optional<std::string> email;
  std::optional<std::string> displayName;

  bool operator==(const User&) const = default;
};

// What a provider vouched for at sign-in.
struct Identity {
  std::string provider;
  std::string subject;
  std::optional<std::string> email;
  std::optional<std::string> displayName;
};

// One registered device of an account.
struct Device {
  std::string id;
  std::string userId;
  std::string name;
  std::string platform;
  std::string status;  // "registered", then "connected" once it has reported where it serves
  std::optional<std::string> pairingFingerprint;
  Millis createdAt = 0;
  std::optional<Millis> lastSeenAt;
  std::optional<std::string> lastHost;
  std::optional<int> lastControlPort;
  std::optional<int> lastMediaPort;

  bool operator==(const Device&) const = default;
};

// Where a device last said it serves.
using ConnectionReport = protocol::ConnectionReport;

}  // namespace lumora::account
