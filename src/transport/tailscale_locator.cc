#include "transport/tailscale_locator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <boost/json/parse.hpp>

#include <charconv>
#include <cstdlib>

#include "protocol/utf8.h"
#include "platform/linux/child_process.h"

namespace lumora::transport::TailscaleLocator {
namespace {

using platform::linux_os::UniqueFd;

// Runs `program ip -4` and returns its standard output when it exits with status 0 in time.
std::optional<std::string> runIp4(const std::string& program, std::chrono::milliseconds timeout) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  UniqueFd readEnd(out[0]);
  UniqueFd writeEnd(out[1]);
  UniqueFd nothing(::open("/dev/null", O_RDWR | O_CLOEXEC));
  platform::linux_os::SpawnRequest request;
  request.program = program;
  request.arguments = {"ip", "-4"};
  request.standardInput = nothing.get();
  request.standardOutput = writeEnd.get();
  request.standardError = nothing.get();
  request.newSession = true;  // so a hung tool and anything it started can be killed together
  platform::linux_os::ChildProcess child;
  try {
    child = platform::linux_os::spawnChild(request);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  writeEnd.reset();

  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool timedOut = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    pollfd ready{readEnd.get(), POLLIN, 0};
    int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) {
      timedOut = polled == 0;
      break;
    }
    char buffer[4096];
    ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n <= 0) break;  // end of output
    if (output.size() < 65536) output.append(buffer, static_cast<std::size_t>(n));
  }
  if (timedOut) platform::linux_os::signalSession(child.pid, SIGKILL);
  // Its output is complete; a tool that keeps running after closing it is not waited for long.
  pollfd exited{child.pidfd.get(), POLLIN, 0};
  if (::poll(&exited, 1, timedOut ? -1 : static_cast<int>(timeout.count())) <= 0) {
    platform::linux_os::signalSession(child.pid, SIGKILL);
    timedOut = true;
  }
  const int status = platform::linux_os::reapChild(child);
  if (timedOut || status != 0) return std::nullopt;
  return output;
}

std::optional<std::string> firstAddress(const std::string& output) {
  if (!protocol::isValidUTF8(output)) return std::nullopt;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string_view line(output.data() + start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    auto first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;  // the first piece is blank
    line = line.substr(first, line.find_last_not_of(" \t") - first + 1);
    if (isValidIPv4(line)) return std::string(line);
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> candidates() {
  std::vector<std::string> found;
  if (const char* path = std::getenv("PATH")) {
    std::string_view rest(path);
    while (!rest.empty()) {
      std::string_view directory = rest.substr(0, rest.find(':'));
      rest.remove_prefix(std::min(rest.size(), directory.size() + 1));
      if (!directory.empty()) found.push_back(std::string(directory) + "/tailscale");
    }
  }
  for (const char* usual :
       {"/usr/bin/tailscale", "/usr/local/bin/tailscale", "/usr/sbin/tailscale"}) {
    found.emplace_back(usual);
  }
  return found;
}

std::optional<std::string> currentIPv4From(const std::vector<std::string>& programs,
                                           std::chrono::milliseconds timeout) {
  for (const auto& program : programs) {
    if (::access(program.c_str(), X_OK) != 0) continue;
    auto output = runIp4(program, timeout);
    if (!output) continue;
    if (auto address = firstAddress(*output)) return address;
  }
  return std::nullopt;
}

std::optional<std::string> currentIPv4(std::chrono::milliseconds timeout) {
  return currentIPv4From(candidates(), timeout);
}

bool isValidIPv4(std::string_view text) {
  int pieces = 0;
  while (true) {
    std::string_view piece = text.substr(0, text.find('.'));
    if (piece.empty() || piece.size() > 3) return false;
    int value = 0;
    auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    if (ec != std::errc() || end != piece.data() + piece.size() || value > 255 ||
        piece.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
    ++pieces;
    if (piece.size() == text.size()) break;
    text.remove_prefix(piece.size() + 1);
  }
  return pieces == 4;
}

std::optional<std::string> parseSelfIPv4(std::string_view statusJSON) {
  boost::system::error_code ec;
  boost::json::value status = boost::json::parse(statusJSON, ec);
  if (ec || !status.is_object()) return std::nullopt;
  const auto* self = status.as_object().if_contains("Self");
  if (!self || !self->is_object()) return std::nullopt;
  const auto* ips = self->as_object().if_contains("TailscaleIPs");
  if (!ips || !ips->is_array()) return std::nullopt;
  for (const auto& ip : ips->as_array()) {
    if (!ip.is_string()) return std::nullopt;
    std::string_view text = ip.get_string();
    if (text.find(':') == std::string_view::npos) return std::string(text);
  }
  return std::nullopt;
}

}  // namespace lumora::transport::TailscaleLocator
