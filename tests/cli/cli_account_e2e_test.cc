// The lumora program on the account, end to end: the real lumora-account-service --dev on
// loopback, the real agent serving through its relay on a private Xvfb, and lumora logging in,
// registering the agent and reaching it through the relay.

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "account/account_client.h"
#include "cli/lumora_runner.h"
#include "support/account_service_process.h"
#include "support/agent_process.h"
#include "support/fake_browser.h"
#include "support/temp_dir.h"
#include "support/xvfb_server.h"

namespace lumora::cli {
namespace {

using testing_support::AccountServiceProcess;
using testing_support::AgentProcess;
using testing_support::contentOf;
using testing_support::TempDir;

std::string accountFile(const TempDir& home) { return home / ".config/lumora/account.json"; }

boost::json::object storedTokens(const TempDir& home) {
  return boost::json::parse(contentOf(accountFile(home))).at("tokens").as_object();
}

// The service on loopback with its dev provider and stand-ins.
const std::vector<std::string> kDevService = {"--listen", "127.0.0.1:0", "--dev"};

// The service, and the agent on a private Xvfb serving through the service's relay.
class CliAccountEndToEndTest : public ::testing::Test {
 protected:
  CliAccountEndToEndTest()
      : agent_({"DISPLAY=" + xvfb_.display()},
               {"--relay-base", "ws://" + service_.url().substr(std::string("http://").size())}) {}

  void SetUp() override { ASSERT_TRUE(agent_.serving()) << agent_.log(); }

  Outcome lumora(std::vector<std::string> args) { return runLumora(home_, std::move(args)); }

  testing_support::XvfbServer xvfb_{"640x480x24"};
  AccountServiceProcess service_{kDevService};
  AgentProcess agent_;
  TempDir home_;
};

TEST_F(CliAccountEndToEndTest, LoginRegistersTheAgentAndEveryAgentCommandGoesThroughTheRelay) {
  ASSERT_EQ(lumora({"pair", agent_.link(), "--name", "desk"}).status, 0);

  // Not yet registered: the service issues no relay token for it.
  Outcome loggedIn = lumora({"login", "--provider", "dev", "--email", "me@example.com",
                             "--account-service", service_.url()});
  ASSERT_EQ(loggedIn.status, 0) << loggedIn.err;
  EXPECT_EQ(loggedIn.out, "logged in as me@example.com at " + service_.url() + "\n");
  expectOneLine(lumora({"--relay", "ping"}), 1, "lumora devices add");

  Outcome added = lumora({"devices", "add", "desk-relay"});
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(added.out.rfind("registered desk-relay (", 0), 0u) << added.out;
  EXPECT_EQ(lumora({"devices", "add", "desk-relay"}).out, "already registered\n");
  Outcome listed = lumora({"devices"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out.rfind("desk-relay\t", 0), 0u) << listed.out;
  EXPECT_NE(listed.out.find("\tlinux\t"), std::string::npos) << listed.out;

  // Commands, and the screen through the media room.
  Outcome run = lumora({"--relay", "run", "--shell", "/bin/sh", "echo through the relay; exit 3"});
  EXPECT_EQ(run.status, 3) << run.err << agent_.log();
  EXPECT_EQ(run.out, "through the relay\n");
  const std::string png = home_ / "s.png";
  Outcome snapshot = lumora({"--relay", "snapshot", png});
  ASSERT_EQ(snapshot.status, 0) << snapshot.err << agent_.log();
  // A PNG file's signature and the start of its header: 640x480.
  EXPECT_EQ(contentOf(png).substr(0, 24),
            std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\x02\x80\0\0\x01\xe0", 24));

  EXPECT_EQ(lumora({"logout"}).out, "logged out\n");
  Outcome refused = lumora({"devices"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "lumora: not logged in: run `lumora login`\n");
  // The service is remembered for the next login.
  EXPECT_EQ(lumora({"login", "--provider", "dev", "--email", "me@example.com"}).status, 0);
}

// The GitHub provider takes the same path through the program: its flow is OAuthWebFlowTest's and
// its exchange on the service the account tests'.
TEST(CliLogin, ASignInGoesThroughTheBrowserToTheServicesStandIn) {
  AccountServiceProcess service(kDevService);
  TempDir home;
  const std::string path = testing_support::fakeBrowserPath(home);
  // The service named by the environment, as the desktop application finds it.
  Outcome google =
      runLumora(home, {"login", "--dev"}, {"LUMORA_API_BASE_URL=" + service.url()}, path);
  ASSERT_EQ(google.status, 0) << google.err << service.log();
  // The page is named, for a person whose browser does not come up.
  EXPECT_EQ(google.out.rfind("opening the sign-in page in the browser: " + service.url() +
                                 "/dev/google/authorize?",
                             0),
            0u)
      << google.out;
  EXPECT_TRUE(google.out.ends_with("\nlogged in as dev@example.com at " + service.url() + "\n"))
      << google.out;
  EXPECT_EQ(storedTokens(home).at("user").at("provider").as_string(), "google");
  Outcome devices = runLumora(home, {"devices"});
  EXPECT_EQ(devices.status, 0) << devices.err;
  EXPECT_EQ(devices.out, "no devices\n");
}

TEST(CliLogin, LogoutEndsTheSignInOnTheServiceAndForgetsTheTokensEvenWhenItCannot) {
  AccountServiceProcess service(kDevService);
  TempDir home;
  const std::vector<std::string> login = {"login",      "--provider",     "dev",
                                          "--email",    "me@example.com", "--account-service",
                                          service.url()};
  ASSERT_EQ(runLumora(home, login).status, 0);
  const std::string spent(storedTokens(home).at("refreshToken").as_string());
  Outcome loggedOut = runLumora(home, {"logout"});
  EXPECT_EQ(loggedOut.status, 0) << loggedOut.err;
  EXPECT_EQ(loggedOut.out, "logged out\n");
  EXPECT_EQ(loggedOut.err, "");
  // A copy of the tokens left anywhere is worth nothing now.
  const auto refresh = account::testing::AccountClient(service.url())
                           .post("/auth/refresh", {{"refreshToken", spent}});
  EXPECT_EQ(refresh.status, 401) << refresh.body;

  // A service that is gone is not told, and the tokens are forgotten all the same.
  ASSERT_EQ(runLumora(home, login).status, 0);
  service.terminate();
  Outcome untold = runLumora(home, {"logout"});
  EXPECT_EQ(untold.out, "logged out\n");
  expectOneLine(untold, 0, "the account service was not told");
  EXPECT_FALSE(boost::json::parse(contentOf(accountFile(home))).as_object().contains("tokens"));
}

}  // namespace
}  // namespace lumora::cli
