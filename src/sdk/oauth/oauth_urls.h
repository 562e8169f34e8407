#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumora::sdk {

using QueryItems = std::vector<std::pair<std::string, std::string>>;

// `endpoint` with `items` appended to its query in the order given. Values are percent-encoded
// where a query needs it: a space becomes %20, while ":", "/", "-" and the like stay literal.
// Throws std::invalid_argument when `endpoint` is not an absolute http(s) URL (a bad override).
std::string urlWithQuery(std::string_view endpoint, const QueryItems& items);

// An application/x-www-form-urlencoded body: name=value pairs joined by "&", the values with
// every byte but the ASCII letters and digits percent-encoded, the names as they are.
std::string formEncoded(const QueryItems& fields);

// The authorization code a provider's redirect carries, for both providers: nothing when the
// URL cannot be split into components, when its first "state" item is missing, has no value or
// differs from `expectedState` (case-sensitive), or when it has no "code" item (a provider's
// error redirect); otherwise the first "code" item's value, empty when that value is empty and
// nothing when the item has no "=". A "+" in the query is a plus, not a space.
std::optional<std::string> parseAuthorizationCode(std::string_view callbackURL,
                                                  std::string_view expectedState);

// Whether the redirect's first "state" item is `expectedState` (case-sensitive): the check
// parseAuthorizationCode makes first, for the listener to tell its own sign-in's answer apart.
bool carriesState(std::string_view callbackURL, std::string_view expectedState);

// The loopback redirect a desktop sign-in listens on: http://127.0.0.1:PORT followed by `path`.
std::string loopbackRedirectURI(std::uint16_t port, std::string_view path);

// Sets `value` to the environment variable `name` when that is set and not empty: how a
// provider's client id and endpoints are overridden.
void overrideFromEnvironment(std::string& value, const char* name);

}  // namespace lumora::sdk
