#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumora::transport::TailscaleLocator {

// Where the Tailscale tool is looked for: each directory of $PATH, then the usual places.
std::vector<std::string> candidates();

// This machine's tailnet IPv4 address, from the first candidate whose `ip -4` prints one.
// Blocking; a tool that hangs is killed after `timeout` and the next candidate is tried.
std::optional<std::string> currentIPv4(std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The same over given candidates; for tests.
std::optional<std::string> currentIPv4From(const std::vector<std::string>& candidates,
                                           std::chrono::milliseconds timeout);

// Four dot-separated decimal pieces of one to three digits, each 0…255 (leading zeros allowed).
bool isValidIPv4(std::string_view text);

// The first IPv4 address of "Self"."TailscaleIPs" in the tool's JSON status output.
std::optional<std::string> parseSelfIPv4(std::string_view statusJSON);

}  // namespace lumora::transport::TailscaleLocator
