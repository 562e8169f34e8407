#include "app/app_settings_controller.h"

#include <gtest/gtest.h>

#include <memory>

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
  settings.setLoginAtStartup(true);
  EXPECT_TRUE(state().loginAtStartup);
  EXPECT_FALSE(state().loginError);
}

}  // namespace
}  // namespace lumora::app
