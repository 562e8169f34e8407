#include "account/api_json.h"

#include <cstdio>
#include <ctime>

namespace lumora::account {

std::string rfc3339(Millis at) {
  const std::time_t seconds = static_cast<std::time_t>(at / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(at % 1000));
  return text;
}

protocol::AuthUser userReply(const User& user) {
  return {user.id, user.provider, user.email, user.displayName};
}

protocol::DeviceSummary deviceReply(const Device& device) {
  // The store keeps only ports a report gave, which were ports when it came.
  auto port = [](const std::optional<int>& kept) -> std::optional<std::uint16_t> {
    if (!kept) return std::nullopt;
    return static_cast<std::uint16_t>(*kept);
  };
  return {device.id,
          device.name,
          device.platform,
          device.status,
          rfc3339(device.createdAt),
          device.pairingFingerprint,
          device.lastSeenAt ? std::optional(rfc3339(*device.lastSeenAt)) : std::nullopt,
          device.lastHost,
          port(device.lastControlPort),
          port(device.lastMediaPort)};
}

}  // namespace lumora::account
