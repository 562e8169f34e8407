#include "app/app_config.h"

#include <boost/url/parse.hpp>

#include <cstdlib>

namespace lumora::app::AppConfig {

std::string authBaseURL() { return url("LUMORA_AUTH_BASE_URL"); }

std::string apiBaseURL() { return url("LUMORA_API_BASE_URL"); }

std::string url(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return defaultServiceOrigin();
  // The clients take the origin from it, so it needs a scheme and a host to be of any use.
  const auto parsed = boost::urls::parse_absolute_uri(value);
  if (!parsed || !parsed->has_authority() || parsed->encoded_host().empty()) {
    return defaultServiceOrigin();
  }
  return value;
}

std::string defaultServiceOrigin() {
  static const std::string origin = "https://account.lumora.app";
  return origin;
}

}  // namespace lumora::app::AppConfig
