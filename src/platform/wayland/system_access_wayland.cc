#include "platform/wayland/system_access_wayland.h"

#include "platform/wayland/desktop_wayland.h"
#include "platform/wayland/portal_session.h"

namespace lumora::platform::wayland {

SystemAccessWayland::SystemAccessWayland(std::filesystem::path restoreTokenFile)
    : tokens_(std::move(restoreTokenFile)) {}

SystemAccessWayland::~SystemAccessWayland() {
  closer_ = {};  // stops and joins the closer before the session goes
}

bool SystemAccessWayland::hasScreenRecording() { return tokens_.load().has_value(); }

bool SystemAccessWayland::hasAccessibility() {
  return remoteInputPortalAnswers(std::chrono::seconds(1));
}

void SystemAccessWayland::requestScreenRecording() {
  std::lock_guard lock(mutex_);
  if (request_ && (request_->state() == PortalState::connecting ||
                   request_->state() == PortalState::waitingForConsent)) {
    return;  // the dialog is up already
  }
  PortalSessionOptions options;
  options.restoreToken = tokens_.load();
  options.onRestoreToken = [tokens = tokens_](const std::optional<std::string>& token) {
    tokens.store(token);
  };
  try {
    request_ = PortalSession::open(std::move(options));
  } catch (const std::exception&) {
    return;  // no session bus: nothing can be asked
  }
  // Once the user answered, the session has done its job: the desktop's sharing indicator
  // should not stay on for it.
  closer_ = std::jthread([session = request_](std::stop_token stop) {
    const auto deadline = std::chrono::steady_clock::now() + DesktopWayland::kConsentWait;
    while (!stop.stop_requested() && std::chrono::steady_clock::now() < deadline) {
      const PortalState state = session->waitUntilSettled(std::chrono::milliseconds(200), true);
      if (state != PortalState::connecting && state != PortalState::waitingForConsent) break;
    }
    session->close();
  });
}

}  // namespace lumora::platform::wayland
