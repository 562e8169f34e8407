#pragma once

#include <boost/json/object.hpp>

#include <string>

#include "account/records.h"

namespace lumora::account {

// The reply records clients decode: a user ("id", "provider", "email"?, "displayName"?) and a
// device summary ("id", "name", "platform", "status" and the optional rest, absent when
// unknown). Times are RFC 3339 texts in UTC with milliseconds.
boost::json::object userJson(const User& user);
boost::json::object deviceJson(const Device& device);
std::string rfc3339(Millis at);

}  // namespace lumora::account
