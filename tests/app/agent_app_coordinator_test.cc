// The desktop application's coordinator over the parts the tray program builds (linuxParts): the
// real agent runtime on a private Xvfb, the real account service in --dev mode, the real sign-in
// through a browser that follows the stand-in provider's redirect, and a main executor the test
// drains.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/json.hpp>

#include <chrono>

#include "app/account_adapters.h"
#include "app/agent_app_coordinator.h"
#include "app/linux_parts.h"
#include "net/http_client.h"
#include "platform/linux/device_name.h"
#include "platform/linux/secret_store.h"
#include "support/account_service_process.h"
#include "support/eventually.h"
#include "support/fake_browser.h"
#include "support/free_port.h"
#include "support/run_awaitable.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "support/xvfb_server.h"

namespace lumora::app {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing_support::AccountServiceProcess;
using testing_support::ScopedEnvironment;
using testing_support::TempDir;

class AgentAppCoordinatorTest : public ::testing::Test {
 protected:
  // Runs the main executor until `done` holds; false after 20 s.
  bool drainUntil(const std::function<bool()>& done) {
    return testing_support::eventually(
        [&] {
          main_.restart();
          main_.run_for(10ms);
          return done();
        },
        20s);
  }

  boost::json::object statusFile() const {
    return boost::json::parse(testing_support::contentOf(home_ / ".lumora/agent-status.json"))
        .as_object();
  }

  testing_support::XvfbServer xvfb_;
  TempDir home_;
  ScopedEnvironment homeVariable_{"HOME", home_.path().string()};
  ScopedEnvironment browser_{"PATH", testing_support::fakeBrowserPath(home_)};
  AccountServiceProcess service_{{"--listen", "127.0.0.1:0", "--dev"}};
  // What the tray program builds, pointed at this service and a free port; with no session bus
  // the sign-in is kept in a private file under HOME.
  ScopedEnvironment authService_{"LUMORA_AUTH_BASE_URL", service_.url()};
  ScopedEnvironment apiService_{"LUMORA_API_BASE_URL", service_.url()};
  ScopedEnvironment port_{"LUMORA_CONTROL_PORT", std::to_string(testing_support::freePortPair())};
  ScopedEnvironment noBus_{"DBUS_SESSION_BUS_ADDRESS", std::nullopt};
  ScopedEnvironment configHome_{"XDG_CONFIG_HOME", std::nullopt};
  testing_support::ThreadedIo network_;
  asio::thread_pool work_{2};
  asio::io_context main_;
  std::shared_ptr<SecretTokenStore> tokens_ = std::make_shared<SecretTokenStore>(
      platform::linux_os::makeFileSecretStore(home_.path() / ".config/lumora/tokens.json"));
  int terminations_ = 0;
};

TEST_F(AgentAppCoordinatorTest, SignInRegistersThisComputerServingAddsItsPairingAndQuitStops) {
  AgentAppCoordinator coordinator(
      main_.get_executor(),
      linuxParts(network_.executor(), work_.get_executor(), [this] { ++terminations_; }));
  EXPECT_EQ(statusFile().at("running"), false);

  // Signed in while stopped: registered at once, with no pairing to prove yet.
  coordinator.signInWithGitHub();
  ASSERT_TRUE(drainUntil([&] {
    return coordinator.account().state().get().registeredDeviceName.has_value();
  })) << coordinator.account().state().get().errorMessage.value_or("")
      << service_.log();
  EXPECT_EQ(coordinator.account().state().get().registeredDeviceName,
            platform::linux_os::defaultDeviceName());
  EXPECT_EQ(tokens_->load().value().user.provider, "github");

  // Serving registers the signed-in computer again, now under the pairing code's fingerprint. A
  // sign-in kept from an earlier run takes the same way: the account controller reads the store
  // when it is built (AccountControllerTest.ARestoredSignInShowsEmailElseDisplayNameElseId).
  // (A start while starting is AgentControllerTest's; which URL is which command,
  // ControlCommandTest's.)
  coordinator.handle("lumora://start");
  ASSERT_TRUE(drainUntil([&] { return statusFile().at("running") == true; }));
  const auto fingerprint = coordinator.controller().serving()->pairingFingerprint;
  sdk::DeviceRegistryClient registry(service_.url(), tokens_->load().value().accessToken,
                                     std::make_shared<net::HttpClient>("test"));
  std::vector<sdk::DeviceSummary> listed;
  ASSERT_TRUE(drainUntil([&] {
    listed = testing_support::runAwaitable(registry.listDevices());
    return listed.size() == 1 && listed[0].pairingFingerprint == fingerprint;
  })) << listed.size()
      << service_.log();
  EXPECT_EQ(listed[0].name, platform::linux_os::defaultDeviceName());
  EXPECT_EQ(listed[0].platform, "linux");

  // Quit writes the stopped record before ending the application, agent still running.
  coordinator.handle("lumora://quit");
  EXPECT_EQ(terminations_, 1);
  EXPECT_EQ(statusFile().at("running"), false);
  EXPECT_TRUE(coordinator.controller().isServing());

  coordinator.handle("lumora://stop");
  ASSERT_TRUE(drainUntil([&] { return !coordinator.controller().isServing(); }));
}

}  // namespace
}  // namespace lumora::app
