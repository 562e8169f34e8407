// The lumora-account-service program as a person starts it: one command, defaults, --dev; and
// its relay talked to by a WebSocket client that is not ours.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <utility>

#include "account_client.h"
#include "service_harness.h"
#include "support/account_service_process.h"
#include "support/eventually.h"
#include "support/process_table.h"
#include "support/raw_client.h"
#include "support/spawn.h"
#include "support/temp_dir.h"

namespace lumora::account::testing {
namespace {

namespace json = boost::json;
using testing_support::TempDir;

using ServiceProcess = testing_support::AccountServiceProcess;
using testing_support::fileMode;

// Runs the program in `home` until it ends (ten seconds at most), expecting it to refuse to
// start with `status` and one line that holds `text`.
void expectRefusal(std::vector<std::string> arguments, const TempDir& home, int status,
                   const std::string& text) {
  arguments.insert(arguments.begin(), LUMORA_ACCOUNT_SERVICE_BINARY);
  const std::string log = home / "run.log";
  std::filesystem::remove(log);
  pid_t pid = testing_support::spawnProcess(
      arguments, {.environment = std::vector<std::string>{"HOME=" + home.path().string(),
                                                          "XDG_STATE_HOME=" + home / "state"},
                  .output = log,
                  .error = log});
  const bool ended = testing_support::eventually([&] { return testing_support::processEnded(pid); },
                                                 std::chrono::seconds(10));
  EXPECT_EQ(ended ? testing_support::waitForExit(pid) : -1, status) << text;
  if (!ended) testing_support::endProcess(pid);
  const std::string output = testing_support::contentOf(log);
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
  EXPECT_NE(output.find(text), std::string::npos) << output;
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

// A database or a TLS key other users can read (left by an older version, or copied in with a
// careless mode) stops the start before anything is made, with the chmod that fixes it.
TEST(ServiceProgram, RefusesToStartOnSecretsOtherUsersCanRead) {
  TempDir home;
  const std::string database = home.make("accounts.sqlite", "");
  ::chmod(database.c_str(), 0644);
  const std::vector<std::string> serve{"--listen", "127.0.0.1:0", "--database",
                                       "sqlite:" + database};
  expectRefusal(serve, home, 1, "could not start: " + database + " is open to other users");
  ::chmod(database.c_str(), 0600);
  const std::string wal = home.make("accounts.sqlite-wal", "");
  ::chmod(wal.c_str(), 0640);
  expectRefusal(serve, home, 1, "chmod 600 " + wal + "\n");

  const LocalhostCertificate tls;
  ::chmod(tls.key.c_str(), 0644);
  expectRefusal({"--listen", "127.0.0.1:0", "--tls-cert", tls.certificate, "--tls-key", tls.key},
                home, 1, "chmod 600 " + tls.key + "\n");
  EXPECT_FALSE(std::filesystem::exists(home / "state"));
}

// --dev signs in anyone as anyone: it serves loopback only, on a database of its own.
TEST(ServiceProgram, DevStaysOnLoopbackAndAwayFromTheRealDatabase) {
  TempDir home;
  for (const char* listen : {"0.0.0.0:0", "[::]:0", "192.0.2.1:0"}) {
    expectRefusal({"--dev", "--listen", listen}, home, 2, "loopback only");
  }
  expectRefusal({"--dev", "--listen", "127.0.0.1:0", "--database",
                 "sqlite:" + home / "state/lumora/../lumora/account-service.sqlite"},
                home, 2, home / "state/lumora/account-service.sqlite");

  ServiceProcess dev({"--dev", "--listen", "127.0.0.2:0"});
  EXPECT_EQ(AccountClient(dev.url()).get("/health").status, 200);
  EXPECT_TRUE(std::filesystem::exists(dev.home / "state/lumora/account-service-dev.sqlite"));
  EXPECT_FALSE(std::filesystem::exists(dev.home / "state/lumora/account-service.sqlite"));
}

// Connections that send most of a large request and stall cost the service what it has read
// of them: one address gets the bound's worth, and connections beyond it are closed at once.
TEST(ServiceProgram, BoundsTheConnectionsOfOneAddress) {
  constexpr std::size_t kBound = 8, kBody = 4 << 20;
  ServiceProcess service({"--listen", "127.0.0.1:0", "--max-connections-per-address",
                          std::to_string(kBound), "--max-body", std::to_string(kBody)});
  const std::string url = service.url();
  const auto port = static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));
  const std::size_t idle = testing_support::residentBytes(service.pid());
  const std::string head =
      "POST /devices HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n";
  std::vector<std::uint8_t> stalled(head.begin(), head.end());
  stalled.resize(stalled.size() + kBody - 1, 'x');
  std::vector<std::unique_ptr<testing_support::RawClient>> clients;
  for (std::size_t i = 0; i < kBound; ++i) {
    clients.push_back(std::make_unique<testing_support::RawClient>(port));
    clients.back()->sendRaw(stalled);
  }
  // One body's worth of slack: the first bodies may land in memory the service freed after
  // starting (reading its page, say), which counted as resident already.
  ASSERT_TRUE(testing_support::eventually([&] {
    return testing_support::residentBytes(service.pid()) > idle + (kBound - 1) * kBody * 15 / 16;
  }));
  // Then until the last of them is in as well: memory stops growing for a second.
  std::size_t bounded = testing_support::residentBytes(service.pid());
  for (int stable = 0, tries = 0; stable < 2 && tries < 30; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::size_t now = testing_support::residentBytes(service.pid());
    stable = now < bounded + kBody / 16 ? stable + 1 : 0;
    bounded = now;
  }

  for (int i = 0; i < 24; ++i) {  // kept open on this side as well
    clients.push_back(std::make_unique<testing_support::RawClient>(port));
    try {
      clients.back()->sendRaw(stalled);
    } catch (const std::system_error&) {  // the service closed it
    }
    EXPECT_TRUE(clients.back()->closedWithin(std::chrono::seconds(2))) << i;
  }
  EXPECT_LT(testing_support::residentBytes(service.pid()), bounded + kBody);
  const std::string log = service.log(), refusal = "127.0.0.1 holds 8 connections";
  ASSERT_NE(log.find(refusal), std::string::npos) << log;
  EXPECT_EQ(log.find(refusal, log.find(refusal) + 1), std::string::npos) << log;  // said once
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
