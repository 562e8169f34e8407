#include "platform/linux/secret_store.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/scoped_environment.h"
#include "support/secret_service_session.h"
#include "support/spawn.h"
#include "support/temp_dir.h"
#include "support/thrown.h"

namespace lumora::platform::linux_os {
namespace {

using testing_support::fileMode;
using testing_support::ProgramRun;
using testing_support::runProgram;
using testing_support::ScopedEnvironment;
using testing_support::SecretServiceSession;
using testing_support::TempDir;

constexpr const char* kService = "halden.lumora.agent";
constexpr const char* kAccount = "auth-tokens";

ProgramRun secretTool(const SecretServiceSession& session, std::vector<std::string> arguments,
                      const std::string& input = "/dev/null") {
  arguments.insert(arguments.begin(), "secret-tool");
  return runProgram(arguments, {.environment = session.environment(), .input = input});
}

int itemsIn(const std::string& searchOutput) {
  int count = 0;
  for (std::size_t at = searchOutput.find("\nsecret = "); at != std::string::npos;
       at = searchOutput.find("\nsecret = ", at + 1)) {
    ++count;
  }
  return count;
}

TEST(SecretServiceStore, KeepsOneItemThatTheDesktopsOwnToolsSee) {
  SecretServiceSession session;
  ASSERT_TRUE(secretServiceAvailable());
  auto store = openSecretStore(kService, kAccount, "unused");
  const std::string tokens = R"({"accessToken":"a.b.c","refreshToken":"r-1"})";
  store->save("first");
  store->save(tokens);

  EXPECT_EQ(secretTool(session, {"lookup", "service", kService, "account", kAccount}).output,
            tokens);
  EXPECT_EQ(
      itemsIn(secretTool(session, {"search", "--all", "service", kService, "account", kAccount})
                  .output),
      1);
  EXPECT_EQ(store->load(), tokens);
  // Another account's item is another item.
  EXPECT_EQ(makeSecretServiceStore(kService, "someone-else")->load(), std::nullopt);

  store->clear();
  const ProgramRun after =
      secretTool(session, {"lookup", "service", kService, "account", kAccount});
  EXPECT_NE(after.exitCode, 0);
  EXPECT_EQ(store->load(), std::nullopt);
}

TEST(SecretServiceStore, AbsentWithoutABusOrAKeyringOnIt) {
  {
    ScopedEnvironment noBus("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    EXPECT_FALSE(secretServiceAvailable());
    EXPECT_EQ(makeSecretServiceStore(kService, kAccount)->load(), std::nullopt);
  }
  SecretServiceSession busOnly(/*withKeyring=*/false);
  EXPECT_FALSE(secretServiceAvailable());
  auto store = makeSecretServiceStore(kService, kAccount);
  EXPECT_NE(testing_support::messageThrownBy<std::runtime_error>([&] { store->save("x"); }),
            "(nothing thrown)");
  EXPECT_EQ(store->load(), std::nullopt);
  store->clear();
}

TEST(FileSecretStore, IsTheFallbackAndKeepsTheSecretPrivate) {
  TempDir config;
  ScopedEnvironment noBus("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
  ScopedEnvironment configHome("XDG_CONFIG_HOME", config.path().string());
  auto store = openSecretStore(kService, kAccount, "tokens.json");
  const std::string file = config / "lumora/tokens.json";

  EXPECT_EQ(store->load(), std::nullopt);
  store->save("secret-1");
  EXPECT_EQ(testing_support::contentOf(file), "secret-1");
  EXPECT_EQ(fileMode(file), 0600u);
  EXPECT_EQ(fileMode(config / "lumora"), 0700u);
  EXPECT_EQ(store->load(), "secret-1");

  store->clear();
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(store->load(), std::nullopt);
}

}  // namespace
}  // namespace lumora::platform::linux_os
