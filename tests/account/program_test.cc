// The lumora-account-service program as a person starts it: one command, defaults, --dev; and
// its relay talked to by a WebSocket client that is not ours.

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <utility>

#include "account_client.h"
#include "support/account_service_process.h"
#include "support/eventually.h"
#include "support/spawn.h"
#include "support/temp_dir.h"

namespace lumora::account::testing {
namespace {

namespace json = boost::json;
using testing_support::TempDir;

using ServiceProcess = testing_support::AccountServiceProcess;

TEST(ServiceProgram, ServesWithDefaultsAndStopsCleanlyOnSigterm) {
  ServiceProcess service({"--listen", "127.0.0.1:0"});
  const std::string url = service.url();
  ASSERT_TRUE(url.starts_with("http://127.0.0.1:")) << service.log();
  EXPECT_EQ(AccountClient(url).get("/health").status, 200);
  // The dev provider and the stand-ins are off without --dev.
  EXPECT_EQ(
      AccountClient(url).post("/auth/login", {{"provider", "dev"}, {"token", "a@b.c"}}).status,
      400);
  EXPECT_EQ(AccountClient(url).get("/dev/google/jwks").status, 404);
  EXPECT_TRUE(std::filesystem::exists(service.home / "state/lumora/account-service.sqlite"));
  EXPECT_EQ(service.terminate(), 0) << service.log();
  EXPECT_EQ(service.log().find("DEV MODE"), std::string::npos);
}

TEST(ServiceProgram, RefusesOptionsItDoesNotKnow) {
  TempDir home;
  for (auto arguments : std::vector<std::vector<std::string>>{
           {"--listen", "nowhere"}, {"--no-such-option"}, {"--relay-max-queue", "10"}}) {
    arguments.insert(arguments.begin(), LUMORA_ACCOUNT_SERVICE_BINARY);
    const pid_t pid = testing_support::spawnProcess(
        arguments, {.environment = std::vector<std::string>{"HOME=" + home.path().string()}});
    EXPECT_EQ(testing_support::waitForExit(pid), 2) << arguments[1];
  }
}

TEST(ServiceProgram, ADevSessionRelaysForPythonsWebsockets) {
  ServiceProcess service({"--listen", "127.0.0.1:0", "--dev"});
  AccountClient client(service.url());
  EXPECT_TRUE(testing_support::eventually(
      [&] { return service.log().find("DEV MODE") != std::string::npos; }));
  if (::access("/usr/bin/python3", X_OK) != 0 ||
      std::system("/usr/bin/python3 -c 'import websockets' 2>/dev/null") != 0) {
    GTEST_SKIP() << "Debian's python3-websockets is not installed (scripts/setup installs it)";
  }
  const auto secret = protocol::PairingSecret::generate();
  const auto key = protocol::RoomKey::derive(secret);
  const std::string room = key.fingerprint();
  const std::string relayToken =
      client.relayToken(client.signInWithDevice("ada@example.com", secret), room);

  auto agent = RelayClient::host(service.url(), room, key);
  RelayClient& host = *agent;
  const std::string wsUrl =
      "ws://" + service.url().substr(7) + "/relay/" + room + "?token=" + relayToken;
  const pid_t python = testing_support::spawnProcess(
      {"/usr/bin/python3", std::string(TESTS_DIR) + "/relay_interop.py", wsUrl},
      {.environment = std::vector<std::string>{"PATH=/usr/bin:/bin"},
       .output = service.home / "python.log",
       .error = service.home / "python.log"});
  ASSERT_GT(python, 0);
  auto notice = host.receive();  // the relay's: who joined
  ASSERT_TRUE(notice);
  EXPECT_FALSE(notice->binary);
  auto hello = host.receive();
  ASSERT_TRUE(hello);
  EXPECT_TRUE(hello->binary);
  std::string expected = std::string("\0hello from python", 18);
  for (int i = 0; i < 4096; ++i) {
    for (int b = 0; b < 256; ++b) expected.push_back(static_cast<char>(b));
  }
  EXPECT_TRUE(hello->data == expected) << hello->data.size();
  host.sendBinary("hello from the host\xff");
  EXPECT_EQ(testing_support::waitForExit(python), 0)
      << testing_support::contentOf(service.home / "python.log");
  EXPECT_TRUE(host.closedWithin(std::chrono::seconds(10)));
  EXPECT_EQ(host.closeCode(), 1000);
  EXPECT_EQ(service.terminate(), 0);
}

}  // namespace
}  // namespace lumora::account::testing
