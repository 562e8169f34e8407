#include "account/server_state.h"

#include <cstdio>

namespace lumora::account {

namespace {

// The target as the log shows it: relay tokens are credentials and stay out.
std::string loggedTarget(std::string_view target) {
  if (target.starts_with("/relay/") && target.find('?') != std::string_view::npos) {
    return std::string(target.substr(0, target.find('?'))) + "?token=…";
  }
  return std::string(target.substr(0, 256));
}

}  // namespace

void ServerState::logRequest(const std::string& method, std::string_view target, int status,
                             RequestStart started, const std::string& remote) const {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.1fms", static_cast<double>(micros) / 1000.0);
  log.info(method + " " + loggedTarget(target) + " " + std::to_string(status) + " " + elapsed +
           " " + remote);
  metrics->countRequest(routeOf(target), status);
}

bool ServerState::track(const std::shared_ptr<Droppable>& connection) {
  std::lock_guard guard(lock);
  if (stopped) return false;
  if (connections.size() % 64 == 0) {
    connections.remove_if([](const auto& weak) { return weak.expired(); });
  }
  connections.push_back(connection);
  return true;
}

}  // namespace lumora::account
