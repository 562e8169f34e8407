#include "protocol/relay_address.h"

#include <boost/url/parse.hpp>

namespace lumora::protocol {

std::optional<std::string> relayOriginOf(std::string_view url) {
  auto parsed = boost::urls::parse_absolute_uri(url);
  if (!parsed || !parsed->has_authority() || parsed->host().empty() || parsed->has_userinfo()) {
    return std::nullopt;
  }
  const auto scheme = parsed->scheme_id();
  std::string origin;
  if (scheme == boost::urls::scheme::http || scheme == boost::urls::scheme::ws) {
    origin = "ws://";
  } else if (scheme == boost::urls::scheme::https || scheme == boost::urls::scheme::wss) {
    origin = "wss://";
  } else {
    return std::nullopt;
  }
  return origin + std::string(parsed->encoded_host_and_port());
}

std::string relayRoomURL(std::string_view origin, std::string_view room) {
  return std::string(origin) + "/relay/" + std::string(room);
}

}  // namespace lumora::protocol
