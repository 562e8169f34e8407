#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/desktop.h"

namespace lumora::runtime {

// Which display server the agent serves. `automatic` takes Wayland where a Wayland session's
// screen-cast portal answers, else X11.
enum class DesktopBackend { automatic, x11, wayland };

// "auto", "x11" or "wayland"; none for anything else.
std::optional<DesktopBackend> parseDesktopBackend(std::string_view name);

struct DesktopOptions {
  DesktopBackend backend = DesktopBackend::automatic;
  std::string x11DisplayName;  // empty: $DISPLAY
  platform::CommandKey commandKey = platform::CommandKey::control;
};

// What `backend` comes to on this machine: x11 or wayland.
DesktopBackend resolveDesktopBackend(DesktopBackend backend);

// Where the Wayland desktop keeps the portal's newest restore token (~/.lumora).
std::filesystem::path portalRestoreTokenFile();

// Opens the desktop `options` name. Throws why when it cannot be reached at all (no display
// server, no session bus).
std::unique_ptr<platform::Desktop> openDesktop(const DesktopOptions& options);

}  // namespace lumora::runtime
