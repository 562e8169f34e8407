#pragma once

#include <sys/types.h>

#include <boost/json/object.hpp>
#include <filesystem>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "support/h264_test_codec.h"
#include "support/pipewire_session.h"
#include "support/scoped_environment.h"

namespace lumora::testing_support {

struct WaylandDesktopOptions {
  // What the stand-in backend answers to Start: allowed (response 0, with the stream) or
  // refused (response 1, as when the user cancels the dialog).
  enum class Consent { allow, refuse };
  Consent consent = Consent::allow;
  // Whether the backend offers org.freedesktop.impl.portal.RemoteDesktop. Without it the
  // frontend has no RemoteDesktop portal and only ScreenCast works, as with wlroots' backend.
  bool remoteDesktop = true;
};

// Everything a Wayland agent test needs, started by the test and stopped (every process waited
// for) on destruction:
// - a PipeWireSession (private bus, pipewire, wireplumber);
// - sway 1.7 headless (pixman, one 1280×800 output HEADLESS-1, no Xwayland), run as an
//   unprivileged user when the test is root (sway refuses root): "lumora-test", created if
//   missing, with a 0700 runtime folder of its own; root still connects to its socket;
// - xdg-permission-store and the real xdg-desktop-portal frontend on the private bus, which
//   find only the stand-in backend (XDG_DESKTOP_PORTAL_DIR, XDG_CURRENT_DESKTOP=lumora-test);
// - the stand-in backend (portal_backend/backend.py): ScreenCast and RemoteDesktop, a PipeWire
//   node fed from grim captures of the output at Start, every call recorded.
// Comes up in about 0.15 s (0.3 s with four desktops starting at once on two cores); a portal
// session's first frame follows about 0.3 s after CreateSession.
//
// What the real frontend (1.16) does here, measured:
// - restore tokens work for ScreenCast-only sessions (persist_mode in SelectSources, the token
//   in Start's results, restore_data handed back to the backend with the token); a RemoteDesktop
//   session refuses persist_mode in ScreenCast.SelectSources (a D-Bus error), and
//   RemoteDesktop.SelectDevices drops it silently;
// - without the backend's RemoteDesktop the frontend has no org.freedesktop.portal.RemoteDesktop
//   interface at all (Properties.Get fails with InvalidArgs);
// - the stream's buffers are MemPtr with chunk stride 0 (GStreamer's pipewiresink); the screen
//   is captured about 7 times a second and sent 15 times a second.
//
// In-process D-Bus code must connect to DBUS_SESSION_BUS_ADDRESS of environment() itself: GIO's
// g_bus_get (and sd-bus's default bus) keep the first session bus a process opened, so a second
// test in the same process would reach the first test's (gone) bus even after applyToThisProcess().
class WaylandDesktop {
 public:
  static constexpr int kWidth = 1280;
  static constexpr int kHeight = 800;

  // Throws std::runtime_error naming what could not start, with its own words (tests skip
  // with it).
  explicit WaylandDesktop(WaylandDesktopOptions options = {});
  ~WaylandDesktop();
  WaylandDesktop(const WaylandDesktop&) = delete;
  WaylandDesktop& operator=(const WaylandDesktop&) = delete;

  // The environment of a program on this desktop, for SpawnOptions.environment (it replaces
  // the whole environment): the PipeWireSession's (HOME and XDG folders, XDG_RUNTIME_DIR,
  // PIPEWIRE_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS, PATH), WAYLAND_DISPLAY (the socket's
  // absolute path), XDG_CURRENT_DESKTOP=lumora-test and XDG_SESSION_TYPE=wayland.
  std::vector<std::string> environment() const;
  // Sets the same in this process (and unsets DISPLAY) until the desktop is destroyed.
  void applyToThisProcess();

  // Paints the whole output with `png` (stretched) through a Wayland client (swaybg, run as
  // the desktop's user); returns once grim sees it. Throws when it does not show.
  void show(const std::filesystem::path& png);
  // Starts a Wayland client (a bare name is looked up on PATH) as the desktop's user; it runs
  // until the desktop is destroyed. Throws when it cannot be started.
  void run(const std::vector<std::string>& argv);
  // What grim sees now, as RGB.
  DecodedImage capture() const;

  // Every call the stand-in backend received so far, oldest first, each a JSON object
  // {"method": "ScreenCast.Start", "args": [...]}: method names are the interface's last part
  // and the member ("RemoteDesktop.NotifyPointerMotion", "Session.Close");
  // args are the D-Bus arguments in order, options dicts included.
  std::vector<boost::json::object> backendCalls() const;
  // The calls of one method ("ScreenCast.SelectSources"), oldest first.
  std::vector<boost::json::object> backendCalls(const std::string& method) const;
  // The backend ends every session itself (emits Session.Closed, as when the user stops
  // sharing); returns how many there were.
  int closeSessions();

 private:
  struct Child {
    pid_t pid = -1;
    std::string log;
  };

  void startSway();
  void startPortal(const WaylandDesktopOptions& options);
  void stop();
  std::vector<std::string> swayEnvironment() const;
  std::vector<std::string> asSwayUser(std::vector<std::string> argv) const;

  PipeWireSession pipeWire_;
  std::filesystem::path swayDir_;  // the desktop user's runtime folder (not a TempDir: owned by it)
  std::filesystem::path waylandSocket_;
  std::optional<uid_t> uid_;  // the desktop user when this process is root
  gid_t gid_ = 0;
  Child sway_;
  std::list<Child> backgrounds_;  // swaybg instances, newest last
  std::list<Child> clients_;
  int pictures_ = 0;
  Child permissionStore_;
  Child frontend_;
  Child backend_;
  int backendChannel_ = -1;
  std::filesystem::path callLog_;
  std::list<ScopedEnvironment> applied_;
};

}  // namespace lumora::testing_support
