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

boost::json::object userJson(const User& user) {
  boost::json::object object{{"id", user.id}, {"provider", user.provider}};
  if (user.email) object["email"] = *user.email;
  if (user.displayName) object["displayName"] = *user.displayName;
  return object;
}

boost::json::object deviceJson(const Device& device) {
  boost::json::object object{{"id", device.id},
                             {"name", device.name},
                             {"platform", device.platform},
                             {"status", device.status},
                             {"createdAt", rfc3339(device.createdAt)}};
  if (device.pairingFingerprint) object["pairingFingerprint"] = *device.pairingFingerprint;
  if (device.lastSeenAt) object["lastSeenAt"] = rfc3339(*device.lastSeenAt);
  if (device.lastHost) object["lastHost"] = *device.lastHost;
  if (device.lastControlPort) object["lastControlPort"] = *device.lastControlPort;
  if (device.lastMediaPort) object["lastMediaPort"] = *device.lastMediaPort;
  return object;
}

}  // namespace lumora::account
