#include "runtime/desktop_backend.h"

#include "platform/x11/desktop_x11.h"

namespace lumora::runtime {

std::optional<DesktopBackend> parseDesktopBackend(std::string_view name) {
  if (name == "auto") return DesktopBackend::automatic;
  if (name == "x11") return DesktopBackend::x11;
  if (name == "wayland") return DesktopBackend::wayland;
  return std::nullopt;
}

std::unique_ptr<platform::Desktop> openDesktop(const DesktopOptions& options) {
  return std::make_unique<platform::x11::DesktopX11>(options.x11DisplayName, options.commandKey);
}

}  // namespace lumora::runtime
