#include "protocol/pairing_payload.h"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <algorithm>
#include <charconv>
#include <map>

namespace lumora::protocol {
namespace {

// '+' is a literal plus in these links, never a space.
const boost::urls::encoding_opts kQueryEncoding(false, false, false);

std::optional<std::uint16_t> parsePort(const std::string& text) {
  std::uint16_t port = 0;
  if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return port;
}

}  // namespace

std::string PairingPayload::url() const {
  boost::urls::url link;
  link.set_scheme("lumora");
  link.set_encoded_host("pair");
  auto params = link.params(kQueryEncoding);
  params.append({"host", host});
  params.append({"cp", std::to_string(controlPort)});
  params.append({"mp", std::to_string(mediaPort)});
  params.append({"code", code});
  return std::string(link.buffer());
}

std::optional<PairingPayload> PairingPayload::fromURL(std::string_view text) {
  auto parsed = boost::urls::parse_uri_reference(text);
  if (!parsed) return std::nullopt;
  const boost::urls::url_view& link = *parsed;
  if (!link.has_scheme() || link.scheme() != "lumora") return std::nullopt;
  if (!link.has_authority() || link.encoded_host() != "pair") return std::nullopt;
  if (!link.has_query()) return std::nullopt;

  // The items are cut here rather than through the URL's params view, whose iterator in this
  // Boost release reads past the end for an empty query followed by a fragment ("pair?#x").
  std::map<std::string, std::string, std::less<>> items;
  std::string_view query = link.encoded_query();
  while (!query.empty()) {
    std::string_view item = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), item.size() + 1));
    auto equals = item.find('=');
    if (equals == std::string_view::npos) continue;  // an item without a value
    auto name = boost::urls::make_pct_string_view(item.substr(0, equals));
    auto value = boost::urls::make_pct_string_view(item.substr(equals + 1));
    if (!name || !value) return std::nullopt;
    items.insert_or_assign(name->decode(kQueryEncoding), value->decode(kQueryEncoding));
  }
  auto value = [&](std::string_view name) -> const std::string* {
    auto it = items.find(name);
    return it == items.end() ? nullptr : &it->second;
  };

  const std::string* host = value("host");
  const std::string* code = value("code");
  const std::string* cp = value("cp");
  const std::string* mp = value("mp");
  if (!host || host->empty() || !code || code->empty() || !cp || !mp) return std::nullopt;
  auto controlPort = parsePort(*cp);
  auto mediaPort = parsePort(*mp);
  if (!controlPort || !mediaPort) return std::nullopt;
  return PairingPayload{*host, *controlPort, *mediaPort, *code};
}

}  // namespace lumora::protocol
