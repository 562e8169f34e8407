#include "platform/x11/system_access_x11.h"

#include <gtest/gtest.h>

#include "support/xvfb_server.h"

namespace lumora::platform::x11 {
namespace {

using testing_support::XvfbServer;

TEST(SystemAccessX11, GrantsWhatTheServerOffersAndNothingWithoutOne) {
  XvfbServer full;
  SystemAccessX11 fromEnvironment;
  EXPECT_TRUE(fromEnvironment.hasScreenRecording());
  EXPECT_TRUE(fromEnvironment.hasAccessibility());

  XvfbServer withoutXTest("640x480x24", {"-extension", "XTEST"});
  SystemAccessX11 named(withoutXTest.display());
  EXPECT_TRUE(named.hasScreenRecording());
  EXPECT_FALSE(named.hasAccessibility());

  SystemAccessX11 missing(":4095");
  EXPECT_FALSE(missing.hasScreenRecording());
  EXPECT_FALSE(missing.hasAccessibility());
}

}  // namespace
}  // namespace lumora::platform::x11
