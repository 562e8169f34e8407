#include "platform/linux/device_name.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <unistd.h>

#include <climits>
#include <fstream>
#include <optional>
#include <string_view>

namespace lumora::platform::linux_os {
namespace {

std::string_view trimmed(std::string_view text) {
  return boost::algorithm::trim_copy_if(text, boost::algorithm::is_any_of(" \t\r"));
}

// A value as a shell would read it: double quotes with backslash escapes, single quotes taken
// literally, or bare words with backslash escapes (hostnamectl writes the quoted forms).
std::string unquoted(std::string_view value) {
  std::string out;
  char quote = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quote == '\'') {
      if (c == '\'') {
        quote = 0;
      } else {
        out.push_back(c);
      }
    } else if (c == '\\' && i + 1 < value.size()) {
      const char next = value[++i];
      // Inside double quotes a backslash only escapes the characters special there.
      if (quote == '"' && std::string_view("\"\\$`").find(next) == std::string_view::npos) {
        out.push_back('\\');
      }
      out.push_back(next);
    } else if (quote == '"') {
      if (c == '"') {
        quote = 0;
      } else {
        out.push_back(c);
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '#' && (i == 0 || value[i - 1] == ' ' || value[i - 1] == '\t')) {
      break;  // a comment after the value
    } else {
      out.push_back(c);
    }
  }
  return std::string(trimmed(out));
}

std::optional<std::string> prettyHostname(const std::filesystem::path& machineInfo) {
  std::ifstream in(machineInfo);
  std::optional<std::string> found;
  for (std::string line; std::getline(in, line);) {
    const std::string_view text = trimmed(line);
    if (text.empty() || text.front() == '#' || text.front() == ';') continue;
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || trimmed(text.substr(0, equals)) != "PRETTY_HOSTNAME") {
      continue;
    }
    // The last assignment wins, as when the file is sourced.
    found = unquoted(trimmed(text.substr(equals + 1)));
  }
  if (found && found->empty()) return std::nullopt;
  return found;
}

}  // namespace

std::string defaultDeviceName(const std::filesystem::path& machineInfo) {
  if (auto pretty = prettyHostname(machineInfo)) return *pretty;
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return host;
  return "localhost";
}

}  // namespace lumora::platform::linux_os
