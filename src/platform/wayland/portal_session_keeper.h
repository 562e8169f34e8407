#pragma once

#include <memory>
#include <mutex>

#include "platform/wayland/portal_session.h"
#include "platform/wayland/restore_token_file.h"

namespace lumora::platform::wayland {

// The agent's one portal session, shared by the display list, the input and the frame sources.
// The first session opens with the agent; after a refusal or an end on the desktop a new one is
// opened only when a phone asks for the screen again, so the dialog comes back on a request
// rather than in a loop. Safe to call from any thread.
class PortalSessionKeeper {
 public:
  // Opens the first session at once (in the background). Throws std::runtime_error when there
  // is no session bus.
  PortalSessionKeeper(RestoreTokenFile tokens, bool wantInput);

  // The session running or being set up (possibly ended; the caller reads its state).
  std::shared_ptr<PortalSession> current();
  // The current session, or a new one when the current one was refused, failed or ended.
  std::shared_ptr<PortalSession> renewed();

 private:
  std::shared_ptr<PortalSession> openSession();

  const RestoreTokenFile tokens_;
  const bool wantInput_;
  std::mutex mutex_;  // guards session_
  std::shared_ptr<PortalSession> session_;
};

}  // namespace lumora::platform::wayland
