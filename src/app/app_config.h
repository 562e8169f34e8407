#pragma once

#include <string>

namespace lumora::app::AppConfig {

// Where the account service is: $LUMORA_AUTH_BASE_URL and $LUMORA_API_BASE_URL when set to a
// URL, else the default service origin. Never fails.
std::string authBaseURL();
std::string apiBaseURL();

// The value of environment variable `name` if it is a non-empty absolute URL, else the default
// service origin.
std::string url(const char* name);
std::string defaultServiceOrigin();

}  // namespace lumora::app::AppConfig
