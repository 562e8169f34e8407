#include "sdk/oauth/oauth_urls.h"

#include <boost/url/encode.hpp>
#include <boost/url/encoding_opts.hpp>
#include <boost/url/grammar/alnum_chars.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <cstdlib>
#include <stdexcept>

namespace lumora::sdk {

namespace urls = boost::urls;

namespace {

// Query items are taken literally: "+" stays a plus, as a URL's own components read it.
const urls::encoding_opts kLiteralPlus(false, false, false);

}  // namespace

std::string urlWithQuery(std::string_view endpoint, const QueryItems& items) {
  auto parsed = urls::parse_absolute_uri(endpoint);
  if (!parsed || (parsed->scheme() != "https" && parsed->scheme() != "http") ||
      parsed->host().empty()) {
    throw std::invalid_argument("not an http(s) endpoint: " + std::string(endpoint));
  }
  urls::url url(*parsed);
  auto params = url.params(kLiteralPlus);
  for (const auto& [name, value] : items) params.append({name, value});
  return std::string(url.buffer());
}

std::string formEncoded(const QueryItems& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    body += name;
    body += '=';
    body += urls::encode(value, urls::grammar::alnum_chars);
  }
  return body;
}

bool carriesState(std::string_view callbackURL, std::string_view expectedState) {
  auto url = urls::parse_uri_reference(callbackURL);
  if (!url) return false;
  const auto params = url->params(kLiteralPlus);
  auto state = params.find("state");
  return state != params.end() && (*state).has_value && (*state).value == expectedState;
}

std::optional<std::string> parseAuthorizationCode(std::string_view callbackURL,
                                                  std::string_view expectedState) {
  if (!carriesState(callbackURL, expectedState)) return std::nullopt;
  auto url = urls::parse_uri_reference(callbackURL);
  const auto params = url->params(kLiteralPlus);
  auto code = params.find("code");
  if (code == params.end() || !(*code).has_value) return std::nullopt;
  return (*code).value;
}

std::string loopbackRedirectURI(std::uint16_t port, std::string_view path) {
  return "http://127.0.0.1:" + std::to_string(port) + std::string(path);
}

void overrideFromEnvironment(std::string& value, const char* name) {
  const char* set = std::getenv(name);
  if (set != nullptr && *set != '\0') value = set;
}

}  // namespace lumora::sdk
