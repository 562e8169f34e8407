#include "platform/linux/xdg_autostart_login_item.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/spawn.h"
#include "support/temp_dir.h"

namespace lumora::platform::linux_os {
namespace {

using testing_support::contentOf;
using testing_support::TempDir;

// desktop-file-validate's verdict: empty when the entry is valid.
std::string validationErrors(const std::filesystem::path& file) {
  const auto run = testing_support::runProgram({"desktop-file-validate", file.string()});
  return run.exitCode == 0 ? "" : run.output + " (exit " + std::to_string(run.exitCode) + ")";
}

TEST(XdgAutostartLoginItem, EnablingWritesAValidEntryAndDisablingRemovesIt) {
  TempDir config;
  XdgAutostartLoginItem item(config.path() / "autostart", "/opt/Lumora Apps/lumora-tray");
  EXPECT_FALSE(item.isEnabled());
  item.disable();  // nothing to remove yet

  item.enable();
  EXPECT_TRUE(item.isEnabled());
  EXPECT_EQ(validationErrors(item.file()), "");
  const std::string entry = contentOf(item.file());
  EXPECT_NE(entry.find("\nExec=\"/opt/Lumora Apps/lumora-tray\"\n"), std::string::npos) << entry;
  EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);

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

  // Enabling puts back an entry that starts.
  with(head + "Hidden=true\n");
  item.enable();
  EXPECT_TRUE(item.isEnabled());
}

}  // namespace
}  // namespace lumora::platform::linux_os
