#pragma once

#include <filesystem>
#include <string>

#include "platform/login_item.h"

namespace lumora::platform::linux_os {

// The desktop application starts at login through an XDG autostart entry,
// <autostart directory>/lumora-tray.desktop, which every freedesktop session starts. Calls may
// come from any one thread at a time.
class XdgAutostartLoginItem : public LoginItem {
 public:
  // `program`: the tray program's name (looked up on PATH) or its absolute path, without
  // arguments; it is quoted as the entry's Exec line needs.
  explicit XdgAutostartLoginItem(std::filesystem::path autostartDirectory = defaultDirectory(),
                                 std::string program = "lumora-tray");

  // $XDG_CONFIG_HOME/autostart (~/.config/autostart when unset or not absolute).
  static std::filesystem::path defaultDirectory();

  // The entry exists and is neither hidden nor switched off for GNOME.
  bool isEnabled() const override;
  // Writes the entry whole, replacing whatever was there (a hidden one included).
  void enable() override;
  // Removes the entry; none there already is success.
  void disable() override;

  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path directory_;
  std::filesystem::path file_;
  std::string program_;
};

}  // namespace lumora::platform::linux_os
