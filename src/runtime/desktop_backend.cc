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

}  // namespace

std::optional<DesktopBackend> parseDesktopBackend(std::string_view name) {
  if (name == "auto") return DesktopBackend::automatic;
  if (name == "x11") return DesktopBackend::x11;
  if (name == "wayland") return DesktopBackend::wayland;
  return std::nullopt;
}

std::filesystem::path portalRestoreTokenFile() {
  return transport::agentDirectory() / "portal-restore-token";
}

DesktopBackend resolveDesktopBackend(DesktopBackend backend) {
  if (backend != DesktopBackend::automatic) return backend;
  // An X11 client sees nothing of a Wayland screen (Xwayland shows only X11 windows), so a
  // Wayland session goes through its portal whenever one answers.
  if (!waylandSession()) return DesktopBackend::x11;
  if (platform::wayland::screenCastPortalAnswers(std::chrono::seconds(2))) {
    return DesktopBackend::wayland;
  }
  core::AgentLog("runtime").info(
      "desktop: Wayland session without a screen-cast portal; trying X11 (Xwayland shows only "
      "X11 windows)");
  return DesktopBackend::x11;
}

std::unique_ptr<platform::Desktop> openDesktop(const DesktopOptions& options) {
  if (resolveDesktopBackend(options.backend) == DesktopBackend::wayland) {
    core::AgentLog("runtime").info("desktop: Wayland, through the desktop portals");
    platform::wayland::DesktopWayland::Options wayland;
    wayland.restoreTokenFile = portalRestoreTokenFile();
    wayland.x11DisplayName = options.x11DisplayName;
    wayland.commandKey = options.commandKey;
    return std::make_unique<platform::wayland::DesktopWayland>(std::move(wayland));
  }
  return std::make_unique<platform::x11::DesktopX11>(options.x11DisplayName, options.commandKey);
}

}  // namespace lumora::runtime
