#include "platform/linux/xdg_autostart_login_item.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/spawn.h"
#include "support/temp_dir.h"

namespace lumora::platform::linux_os {
namespace {

using testing_support::contentOf;
using testing_support::TempDir;

TEST(XdgAutostartLoginItem, EnablingWritesAValidEntryAndDisablingRemovesIt) {
  TempDir config;
  XdgAutostartLoginItem item(config.path() / "autostart", "/opt/Lumora Apps/lumora-tray");
  EXPECT_FALSE(item.isEnabled());
  item.disable();  // nothing to remove yet

  item.enable();
  EXPECT_TRUE(item.isEnabled());
  const auto validation = testing_support::runProgram({"desktop-file-validate", item.file()});
  EXPECT_EQ(validation.exitCode, 0) << validation.output;
  const std::string entry = contentOf(item.file());
  EXPECT_NE(entry.find("\nExec=\"/opt/Lumora Apps/lumora-tray\"\n"), std::string::npos) << entry;

  item.enable();  // again: the same single entry
  EXPECT_EQ(contentOf(item.file()), entry);

  item.disable();
  EXPECT_FALSE(std::filesystem::exists(item.file()));
  EXPECT_FALSE(item.isEnabled());
}

TEST(XdgAutostartLoginItem, AnEntrySwitchedOffIsNotEnabled) {
  TempDir config;
  XdgAutostartLoginItem item(config.path(), "lumora-tray");
  const auto with = [&](const std::string& entry) {
    config.make("lumora-tray.desktop", entry);
    return item.isEnabled();
  };
  const std::string head = "[Desktop Entry]\nType=Application\nName=Lumora\nExec=lumora-tray\n";
  EXPECT_TRUE(with(head));
  EXPECT_FALSE(with(head + "Hidden=true\n"));
  EXPECT_FALSE(with(head + "X-GNOME-Autostart-enabled=false\n"));
}

}  // namespace
}  // namespace lumora::platform::linux_os
