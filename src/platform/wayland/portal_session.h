#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/unique_fd.h"
#include "platform/wayland/frame_source_pipewire.h"

namespace lumora::platform::wayland {

// Where a portal session stands.
enum class PortalState {
  connecting,         // asking the portal what it offers and setting the session up
  waitingForConsent,  // the desktop shows its dialog
  started,            // streams (and input devices, when asked for) are granted
  refused,            // the user said no
  failed,             // the portal could not or would not (failure() says why)
  closed,             // the desktop ended a started session, or close() was called
};

struct PortalSessionOptions {
  // Ask for pointer and keyboard too (a remote-desktop session) when the portal offers them.
  bool wantInput = true;
  // From the last session the user allowed; the desktop may then skip its dialog.
  std::optional<std::string> restoreToken;
  // Called (on the session's thread) with the token the desktop hands out for the next start,
  // or with nothing when the one offered was used up and no new one came.
  std::function<void(std::optional<std::string>)> onRestoreToken;
};

// One combined screen-cast and remote-desktop session with the desktop portal
// (org.freedesktop.portal.ScreenCast and .RemoteDesktop on the session bus).
//
// open() returns at once; the session is set up on a thread of its own ("lumora.portal"),
// which waits for the user's consent for as long as the desktop shows its dialog, so the rest
// of the agent serves meanwhile. Where the portal has no RemoteDesktop interface, or input is
// not wanted, it is a screen-cast session alone.
//
// Every member is safe to call from any thread. Each input call returns once the portal took
// it (so events reach the desktop in order), and is dropped unless the session started with
// that device.
class PortalSession {
 public:
  // Throws std::runtime_error when there is no session bus to talk to.
  static std::shared_ptr<PortalSession> open(PortalSessionOptions options);
  ~PortalSession();
  PortalSession(const PortalSession&) = delete;
  PortalSession& operator=(const PortalSession&) = delete;

  PortalState state() const;
  // Why the session is not started, in words for the log and for error replies.
  std::string failure() const;
  // Waits until the session leaves `connecting`, and — when `throughConsent` — also until the
  // user answered the dialog; at most `timeout`. The state then.
  PortalState waitUntilSettled(std::chrono::milliseconds timeout, bool throughConsent);

  // The granted streams, empty until started.
  std::vector<PortalStream> streams() const;
  CursorDelivery cursorDelivery() const;
  bool hasPointer() const;
  bool hasKeyboard() const;

  // A new PipeWire connection that sees the session's streams. Throws CaptureError when the
  // session is not started or the portal refuses.
  linux_os::UniqueFd openPipeWireRemote();

  // Pointer position within stream `nodeID`, in the stream's logical coordinates.
  void notifyPointerMotionAbsolute(std::uint32_t nodeID, double x, double y);
  // `button` is a Linux input event code (BTN_LEFT 0x110 …).
  void notifyPointerButton(std::int32_t button, bool pressed);
  // Wheel clicks: axis 0 vertical, 1 horizontal; positive steps scroll down or right.
  void notifyPointerAxisDiscrete(std::uint32_t axis, std::int32_t steps);
  void notifyKeyboardKeysym(std::int32_t keysym, bool pressed);

  // Ends the session (the desktop stops sharing); later calls do nothing. Also on destruction.
  void close();

  struct Impl;

 private:
  explicit PortalSession(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Whether the session bus has a desktop portal offering screen casts, asked with `timeout`.
bool screenCastPortalAnswers(std::chrono::milliseconds timeout);
// Whether it offers remote input (pointer and keyboard) as well.
bool remoteInputPortalAnswers(std::chrono::milliseconds timeout);

}  // namespace lumora::platform::wayland
