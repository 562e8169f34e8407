// The lumora-account-service program as a person starts it: one command, defaults, --dev, and
// the bounds only the whole program shows.

#include <gtest/gtest.h>

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

  // The database holds the token-signing key: nobody else may read it (SQLite gives its
  // companions the database's mode), and the folders the service made for it are its own.
  EXPECT_EQ(fileMode(service.home / "state"), 0700u);
  EXPECT_EQ(fileMode(service.home / "state/lumora/account-service.sqlite"), 0600u);
  EXPECT_EQ(service.terminate(), 0) << service.log();
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

  const LocalhostCertificate tls;
  ::chmod(tls.key.c_str(), 0644);
  expectRefusal({"--listen", "127.0.0.1:0", "--tls-cert", tls.certificate, "--tls-key", tls.key},
                home, 1, "chmod 600 " + tls.key + "\n");
  EXPECT_FALSE(std::filesystem::exists(home / "state"));
}

// Mistakes on the command line: one line naming what was wrong, and status 2. --dev signs in
// anyone as anyone: it serves loopback only, on a database of its own.
TEST(ServiceProgram, RefusesUnusableOptionsAndKeepsDevOnLoopbackAndAwayFromTheRealDatabase) {
  TempDir home;
  for (const auto& [arguments, text] :
       std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--no-such-option"}, "--no-such-option"},
           {{"--dev", "--listen", "0.0.0.0:0"}, "loopback only"}}) {
    expectRefusal(arguments, home, 2, text);
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

}  // namespace
}  // namespace lumora::account::testing
