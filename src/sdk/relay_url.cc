#include "sdk/relay_url.h"

#include <boost/url/parse.hpp>

namespace lumora::sdk {

std::string appendingRelayToken(std::string_view url, const std::optional<std::string>& token) {
  if (!token || token->empty()) return std::string(url);
  auto parsed = boost::urls::parse_uri_reference(url);
  if (!parsed) return std::string(url);
  const bool hasQuery = parsed->has_query() && !parsed->encoded_query().empty();
  std::string result = std::string(url) + (hasQuery ? "&" : "?") + "token=" + *token;
  if (!boost::urls::parse_uri_reference(result)) return std::string(url);
  return result;
}

}  // namespace lumora::sdk
