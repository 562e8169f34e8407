#include "runtime/desktop_backend.h"

#include <chrono>
#include <cstdlib>

#include "core/agent_log.h"
#include "platform/wayland/desktop_wayland.h"
#include "platform/wayland/portal_session.h"
#include "platform/x11/desktop_x11.h"
#include "transport/home_directory.h"

namespace lumora::runtime {
namespace {

bool waylandSession() {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  return display != nullptr && *display != '\0';
}

std::unique_ptr<platform::Desktop> openWayland(const DesktopOptions& options) {
  platform::wayland::DesktopWayland::Options wayland;
  wayland.restoreTokenFile = transport::agentDirectory() / "portal-restore-token";
  wayland.x11DisplayName = options.x11DisplayName;
  wayland.commandKey = options.commandKey;
  return std::make_unique<platform::wayland::DesktopWayland>(std::move(wayland));
}

}  // namespace

std::optional<DesktopBackend> parseDesktopBackend(std::string_view name) {
  if (name == "auto") return DesktopBackend::automatic;
  if (name == "x11") return DesktopBackend::x11;
  if (name == "wayland") return DesktopBackend::wayland;
  return std::nullopt;
}

std::unique_ptr<platform::Desktop> openDesktop(const DesktopOptions& options) {
  core::AgentLog log("runtime");
  switch (options.backend) {
    case DesktopBackend::x11:
      return std::make_unique<platform::x11::DesktopX11>(options.x11DisplayName,
                                                         options.commandKey);
    case DesktopBackend::wayland:
      log.info("desktop: Wayland, through the desktop portals");
      return openWayland(options);
    case DesktopBackend::automatic:
      break;
  }
  // An X11 client sees nothing of a Wayland screen (Xwayland shows only X11 windows), so a
  // Wayland session goes through its portal whenever one answers.
  if (waylandSession()) {
    if (platform::wayland::screenCastPortalAnswers(std::chrono::seconds(2))) {
      log.info("desktop: Wayland, through the desktop portals");
      return openWayland(options);
    }
    log.info(
        "desktop: Wayland session without a screen-cast portal; trying X11 (Xwayland shows "
        "only X11 windows)");
  }
  return std::make_unique<platform::x11::DesktopX11>(options.x11DisplayName, options.commandKey);
}

}  // namespace lumora::runtime
