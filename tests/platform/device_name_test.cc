#include "platform/linux/device_name.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace lumora::platform::linux_os {
namespace {

using testing_support::TempDir;

TEST(DeviceName, IsThePrettyHostnameHowEverItIsQuotedElseTheHostName) {
  TempDir dir;
  const auto nameIn = [&](const std::string& content) {
    return defaultDeviceName(dir.make("machine-info", content));
  };
  EXPECT_EQ(nameIn("PRETTY_HOSTNAME=\"Jin's Laptop\"\n"), "Jin's Laptop");
  EXPECT_EQ(nameIn("# set by hostnamectl\n\nCHASSIS=laptop\nPRETTY_HOSTNAME='Studio \"B\"'\n"),
            "Studio \"B\"");
  EXPECT_EQ(nameIn("PRETTY_HOSTNAME=Workbench\nDEPLOYMENT=production\n"), "Workbench");
  EXPECT_EQ(nameIn("PRETTY_HOSTNAME=\"Say \\\"hi\\\" \\$HOME\"\n"), "Say \"hi\" $HOME");
  EXPECT_EQ(nameIn("PRETTY_HOSTNAME=\"민지의 컴퓨터\"  # trailing comment\n"), "민지의 컴퓨터");

  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  ASSERT_NE(host[0], '\0');
  EXPECT_EQ(defaultDeviceName(dir / "missing"), host);
  EXPECT_EQ(nameIn("PRETTY_HOSTNAME=\"\"\n"), host);
  EXPECT_EQ(nameIn("#PRETTY_HOSTNAME=Old\nICON_NAME=computer\n"), host);
}

}  // namespace
}  // namespace lumora::platform::linux_os
