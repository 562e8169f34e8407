// The lumora-account-service program as a person starts it: one command, defaults, --dev; and
// its relay talked to by a WebSocket client that is not ours.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <utility>

#include "account_client.h"
#include "service_harness.h"
#include "support/account_service_process.h"
#include "support/eventually.h"
#include "support/process_table.h"
#include "support/spawn.h"
#include "support/temp_dir.h"

namespace lumora::account::testing {
namespace {

namespace json = boost::json;
using testing_support::TempDir;

using ServiceProcess = testing_support::AccountServiceProcess;
using testing_support::fileMode;

// The program run to its end in `home` with `arguments`: its exit status (-1 when it was still
// running after ten seconds) and everything it wrote.
struct Ended {
  int exitCode = -1;
  std::string output;
};
Ended runToEnd(std::vector<std::string> arguments, const TempDir& home) {
  arguments.insert(arguments.begin(), LUMORA_ACCOUNT_SERVICE_BINARY);
  const std::string log = home / "run.log";
  std::filesystem::remove(log);
  pid_t pid = testing_support::spawnProcess(
      arguments, {.environment = std::vector<std::string>{"HOME=" + home.path().string(),
                                                          "XDG_STATE_HOME=" + home / "state"},
                  .output = log,
                  .error = log});
  Ended ended;
  if (testing_support::eventually([&] { return testing_support::processEnded(pid); },
                                  std::chrono::seconds(10))) {
    ended.exitCode = testing_support::waitForExit(pid);
  } else {
    testing_support::endProcess(pid);
  }
  ended.output = testing_support::contentOf(log);
  return ended;
}

std::size_t lineCount(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(ServiceProgram, ServesWithDefaultsOnAPrivateDatabaseAndStopsCleanlyOnSigterm) {
  ServiceProcess service({"--listen", "127.0.0.1:0"});
  const std::string url = service.url();
  ASSERT_TRUE(url.starts_with("http://127.0.0.1:")) << service.log();
  EXPECT_EQ(AccountClient(url).get("/health").status, 200);
  // The dev provider and the stand-ins are off without --dev.
  EXPECT_EQ(
      AccountClient(url).post("/auth/login", {{"provider", "dev"}, {"token", "a@b.c"}}).status,
      400);
  EXPECT_EQ(AccountClient(url).get("/dev/google/jwks").status, 404);

  // The database holds the token-signing key: nobody else may read it or its companions, and
  // the folders the service made for it are its own.
  const std::string database = service.home / "state/lumora/account-service.sqlite";
  ASSERT_TRUE(testing_support::eventually([&] {
    return std::filesystem::exists(database + "-wal") && std::filesystem::exists(database + "-shm");
  }));
  EXPECT_EQ(fileMode(service.home / "state"), 0700u);
  EXPECT_EQ(fileMode(service.home / "state/lumora"), 0700u);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    EXPECT_EQ(fileMode(database + suffix), 0600u) << suffix;
  }
  EXPECT_EQ(service.terminate(), 0) << service.log();
  EXPECT_EQ(service.log().find("DEV MODE"), std::string::npos);
}

// A database or a TLS key other users can read (left from an older version, or copied in with
// a careless mode) stops the start with one line saying how to fix it, before anything is made.
TEST(ServiceProgram, RefusesToStartOnSecretsOtherUsersCanRead) {
  TempDir home;
  const std::string database = home.make("accounts.sqlite", "");
  ::chmod(database.c_str(), 0644);
  Ended ended = runToEnd({"--listen", "127.0.0.1:0", "--database", "sqlite:" + database}, home);
  EXPECT_EQ(ended.exitCode, 1) << ended.output;
  EXPECT_EQ(lineCount(ended.output), 1u) << ended.output;
  EXPECT_NE(ended.output.find("could not start: " + database + " is open to other users"),
            std::string::npos)
      << ended.output;
  EXPECT_NE(ended.output.find("chmod 600 " + database + "\n"), std::string::npos) << ended.output;

  ::chmod(database.c_str(), 0600);
  const std::string wal = home.make("accounts.sqlite-wal", "");
  ::chmod(wal.c_str(), 0640);
  ended = runToEnd({"--listen", "127.0.0.1:0", "--database", "sqlite:" + database}, home);
  EXPECT_EQ(ended.exitCode, 1) << ended.output;
  EXPECT_EQ(lineCount(ended.output), 1u) << ended.output;
  EXPECT_NE(ended.output.find("chmod 600 " + wal + "\n"), std::string::npos) << ended.output;

  const LocalhostCertificate tls;
  ::chmod(tls.key.c_str(), 0644);
  const std::string fresh = home / "fresh.sqlite";
  ended = runToEnd({"--listen", "127.0.0.1:0", "--database", "sqlite:" + fresh, "--tls-cert",
                    tls.certificate, "--tls-key", tls.key},
                   home);
  EXPECT_EQ(ended.exitCode, 1) << ended.output;
  EXPECT_EQ(lineCount(ended.output), 1u) << ended.output;
  EXPECT_NE(ended.output.find("chmod 600 " + tls.key + "\n"), std::string::npos) << ended.output;
  EXPECT_FALSE(std::filesystem::exists(fresh));
}

// --dev signs in anyone as anyone: it serves loopback only, on a database of its own.
TEST(ServiceProgram, DevStaysOnLoopbackAndAwayFromTheRealDatabase) {
  TempDir home;
  for (const char* listen : {"0.0.0.0:0", "[::]:0", ":0", "192.0.2.1:0"}) {
    Ended ended = runToEnd({"--dev", "--listen", listen}, home);
    EXPECT_EQ(ended.exitCode, 2) << listen << ": " << ended.output;
    EXPECT_EQ(lineCount(ended.output), 1u) << ended.output;
    EXPECT_NE(ended.output.find("loopback"), std::string::npos) << ended.output;
  }
  const std::string real = home / "state/lumora/account-service.sqlite";
  Ended ended = runToEnd({"--dev", "--listen", "127.0.0.1:0", "--database",
                          "sqlite:" + home / "state/./lumora/../lumora/account-service.sqlite"},
                         home);
  EXPECT_EQ(ended.exitCode, 2) << ended.output;
  EXPECT_EQ(lineCount(ended.output), 1u) << ended.output;
  EXPECT_NE(ended.output.find(real), std::string::npos) << ended.output;

  ServiceProcess dev({"--dev", "--listen", "127.0.0.2:0"});
  ASSERT_TRUE(dev.url().starts_with("http://127.0.0.2:")) << dev.log();
  EXPECT_EQ(AccountClient(dev.url()).get("/health").status, 200);
  EXPECT_TRUE(std::filesystem::exists(dev.home / "state/lumora/account-service-dev.sqlite"));
  EXPECT_FALSE(std::filesystem::exists(dev.home / "state/lumora/account-service.sqlite"));
  EXPECT_FALSE(std::filesystem::exists(real));
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
  const std::string room(64, '9');
  const std::string relayToken =
      client.relayToken(client.signInWithDevice("ada@example.com", room), room);

  RelayClient host(service.url(), "/relay/" + room);
  const std::string wsUrl =
      "ws://" + service.url().substr(7) + "/relay/" + room + "?token=" + relayToken;
  const pid_t python = testing_support::spawnProcess(
      {"/usr/bin/python3", std::string(TESTS_DIR) + "/relay_interop.py", wsUrl},
      {.environment = std::vector<std::string>{"PATH=/usr/bin:/bin"},
       .output = service.home / "python.log",
       .error = service.home / "python.log"});
  ASSERT_GT(python, 0);
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
