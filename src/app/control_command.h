#pragma once

#include <string_view>

namespace lumora::app {

// A command another process sends the application as a URL (lumora://start and the like).
enum class ControlCommand { start, stop, quit, unknown };

// The URL's host, else its first path segment, case-insensitively; the scheme and the query
// are not looked at. Never fails: anything else is unknown.
ControlCommand controlCommand(std::string_view url);

}  // namespace lumora::app
