#pragma once

#include "platform/display_directory.h"
#include "platform/x11/x11_connection.h"

#include <mutex>
#include <string>

namespace lumora::platform::x11 {

// Displays are the server's monitors (RandR 1.5): the id is the monitor's name atom, stable for
// the server's lifetime; the name is the monitor's own or "Display <n>"; the main display is the
// primary monitor, else the first. A server without monitors (or without RandR) shows its whole
// screen as display 0. Bounds are in root-window pixels.
//
// Safe to call from any thread: requests go out under one mutex on the object's own connection.
class DisplayDirectoryX11 : public DisplayDirectory {
 public:
  // Throws X11Error when no server answers.
  explicit DisplayDirectoryX11(const std::string& displayName);

  std::vector<DisplayDescriptor> displays() override;
  std::optional<std::uint32_t> mainDisplayID() override;
  std::optional<DisplayRect> bounds(std::uint32_t displayID) override;

  // A display and where it sits, as one answer.
  struct Monitor {
    DisplayDescriptor descriptor;
    DisplayRect bounds;
  };
  std::vector<Monitor> monitors();

 private:
  std::vector<Monitor> readMonitors();

  std::mutex mutex_;
  X11Connection connection_;
  bool hasRandr15_ = false;
};

}  // namespace lumora::platform::x11
