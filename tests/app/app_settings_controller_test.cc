#include "app/app_settings_controller.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "app/app_config.h"
#include "fakes/fake_login_item.h"
#include "fakes/fake_system_access.h"

namespace lumora::app {
namespace {

class AppSettingsControllerTest : public ::testing::Test {
 protected:
  std::shared_ptr<fakes::FakeLoginItem> loginItem = std::make_shared<fakes::FakeLoginItem>();
  std::shared_ptr<fakes::FakeSystemAccess> system = std::make_shared<fakes::FakeSystemAccess>();
  AppSettingsController settings{loginItem, system};
  const AppSettingsController::State& state() { return settings.state().get(); }
};

TEST_F(AppSettingsControllerTest, AFailedChangeSnapsBackWithItsErrorUntilOneSucceeds) {
  loginItem->failure = "no autostart folder";
  settings.setLoginAtStartup(true);
  EXPECT_FALSE(state().loginAtStartup);
  EXPECT_EQ(state().loginError, "no autostart folder");

  settings.refresh();  // keeps the error
  EXPECT_EQ(state().loginError, "no autostart folder");

  loginItem->failure.reset();
  int notifications = 0;
  auto watching = settings.state().subscribe([&](const auto&) { ++notifications; });
  settings.setLoginAtStartup(true);
  EXPECT_EQ(notifications, 2);  // the current value, then one for the change
  EXPECT_TRUE(state().loginAtStartup);
  EXPECT_FALSE(state().loginError);
}

TEST_F(AppSettingsControllerTest, AnItemAwaitingApprovalShowsOffWithoutAnError) {
  loginItem->needsApproval = true;
  settings.setLoginAtStartup(true);
  EXPECT_EQ(loginItem->enableCalls, 1);
  EXPECT_FALSE(state().loginAtStartup);
  EXPECT_FALSE(state().loginError);
}

TEST_F(AppSettingsControllerTest, PermissionsAreSnapshotsThatRequestsRefresh) {
  system->accessibility = true;
  EXPECT_FALSE(state().accessibility);  // read when constructed, not since
  settings.refresh();
  EXPECT_TRUE(state().accessibility);
  EXPECT_FALSE(state().allPermissionsGranted());

  settings.requestScreenRecording();  // denied
  EXPECT_EQ(system->screenRecordingRequests, 1);
  EXPECT_FALSE(state().screenRecording);

  system->allowOnRequest = true;
  settings.openScreenRecordingSettings();
  EXPECT_EQ(system->screenRecordingSettingsOpened, 1);
  EXPECT_FALSE(state().screenRecording);
  settings.requestScreenRecording();
  EXPECT_TRUE(state().allPermissionsGranted());
}

TEST(AppConfigTest, AnythingButAnAbsoluteURLWithAHostIsTheDefaultOrigin) {
  const char* name = "LUMORA_APP_CONFIG_TEST_URL";
  const auto fallback = AppConfig::defaultServiceOrigin();
  EXPECT_EQ(fallback, "https://account.lumora.app");
  unsetenv(name);
  EXPECT_EQ(AppConfig::url(name), fallback);
  for (const char* value : {"", "not a url", "/relative/path", "mailto:ada@example.com"}) {
    setenv(name, value, 1);
    EXPECT_EQ(AppConfig::url(name), fallback) << value;
  }
  setenv(name, "http://127.0.0.1:8080", 1);
  EXPECT_EQ(AppConfig::url(name), "http://127.0.0.1:8080");
  unsetenv(name);
}

}  // namespace
}  // namespace lumora::app
