#include "platform/wayland/portal_session_keeper.h"

namespace lumora::platform::wayland {

PortalSessionKeeper::PortalSessionKeeper(RestoreTokenFile tokens, bool wantInput)
    : tokens_(std::move(tokens)), wantInput_(wantInput), session_(openSession()) {}

std::shared_ptr<PortalSession> PortalSessionKeeper::openSession() {
  PortalSessionOptions options;
  options.wantInput = wantInput_;
  options.restoreToken = tokens_.load();
  options.onRestoreToken = [tokens = tokens_](const std::optional<std::string>& token) {
    tokens.store(token);
  };
  return PortalSession::open(std::move(options));
}

std::shared_ptr<PortalSession> PortalSessionKeeper::current() {
  std::lock_guard lock(mutex_);
  return session_;
}

std::shared_ptr<PortalSession> PortalSessionKeeper::renewed() {
  std::lock_guard lock(mutex_);
  const PortalState state = session_->state();
  if (state == PortalState::refused || state == PortalState::failed ||
      state == PortalState::closed) {
    session_ = openSession();
  }
  return session_;
}

}  // namespace lumora::platform::wayland
