#include "app/app_settings_controller.h"

#include <gtest/gtest.h>

#include <memory>

#include "app/app_config.h"
#include "fakes/fake_login_item.h"
#include "fakes/fake_system_access.h"
#include "support/scoped_environment.h"

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
  settings.setLoginAtStartup(true);
  EXPECT_TRUE(state().loginAtStartup);
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
  for (const char* value : {"", "not a url", "/relative/path", "mailto:ada@example.com"}) {
    testing_support::ScopedEnvironment set(name, value);
    EXPECT_EQ(AppConfig::url(name), AppConfig::defaultServiceOrigin()) << value;
  }
  EXPECT_EQ(AppConfig::url(name), AppConfig::defaultServiceOrigin()) << "unset";
  testing_support::ScopedEnvironment set(name, "http://127.0.0.1:8080");
  EXPECT_EQ(AppConfig::url(name), "http://127.0.0.1:8080");
}

}  // namespace
}  // namespace lumora::app
