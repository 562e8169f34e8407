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

std::optional<std::string> webPairingLink(std::string_view url, std::string_view code) {
  auto origin = relayOriginOf(url);
  if (!origin) return std::nullopt;
  // ws://HOST → http://HOST, wss://HOST → https://HOST
  origin->replace(0, 2, "http");
  return *origin + "/app/#pair=" + std::string(code);
}

std::string relayRoomURL(std::string_view origin, std::string_view room) {
  return std::string(origin) + "/relay/" + std::string(room);
}

}  // namespace lumora::protocol
