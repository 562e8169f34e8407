#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumora::sdk {

// The relay URL with its access token: `url` followed by "&" when it already has a non-empty
// query, "?" otherwise, then "token=" and the token exactly as given (no percent-encoding).
// Without a token, with an empty one, or when the result would not be a valid URL, `url` comes
// back unchanged.
std::string appendingRelayToken(std::string_view url, const std::optional<std::string>& token);

}  // namespace lumora::sdk
