#include "app/control_command.h"

#include <boost/url/parse.hpp>

#include <algorithm>
#include <string>

namespace lumora::app {

namespace {

// The host, else the first non-empty path segment, else nothing; decoded.
std::string commandWord(std::string_view url) {
  const auto parsed = boost::urls::parse_uri_reference(url);
  if (!parsed) return {};
  if (parsed->has_authority()) {
    auto host = parsed->host();
    if (!host.empty()) return host;
  }
  for (const auto& segment : parsed->segments()) {
    if (!segment.empty()) return segment;
  }
  return {};
}

}  // namespace

ControlCommand controlCommand(std::string_view url) {
  auto word = commandWord(url);
  // Only ASCII words are recognised, so ASCII lower-casing is all the comparison needs.
  std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  if (word == "start") return ControlCommand::start;
  if (word == "stop") return ControlCommand::stop;
  if (word == "quit") return ControlCommand::quit;
  return ControlCommand::unknown;
}

}  // namespace lumora::app
