#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumora::protocol {

// The relay's WebSocket origin for the account service at `url`: ws:// for http:// and ws://,
// wss:// for https:// and wss://, with the URL's host and port; any path is dropped (the relay's
// rooms live at the origin's /relay/, as every account route does). Nothing for another scheme
// or a URL without a host.
std::optional<std::string> relayOriginOf(std::string_view url);

// The browser client's pairing link for the account service at `url` (its http(s):// origin, or
// the ws(s):// relay origin of relayOriginOf): http(s)://HOST/app/#pair=CODE. The code rides in
// the fragment, which browsers never send to a server. Nothing where relayOriginOf gives nothing.
std::optional<std::string> webPairingLink(std::string_view url, std::string_view code);

// The URL of `room` on the relay at `origin`: origin + "/relay/" + room.
std::string relayRoomURL(std::string_view origin, std::string_view room);

}  // namespace lumora::protocol
