#include "agent_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "agent_resolution.h"
#include "failure.h"
#include "support/temp_dir.h"

namespace lumora::cli {
namespace {

using protocol::PairingPayload;
using testing_support::TempDir;

const PairingPayload kOffice{"100.64.0.7", 47800, 47801, "00112233445566778899aabbccddeeff"};
const PairingPayload kLaptop{"192.168.1.20", 5000, 5001, "ffeeddccbbaa99887766554433221100"};

TEST(AgentStoreTest, SavesPrivatelyAndFindsTheCurrentOrANamedAgent) {
  TempDir dir;
  AgentStore store(dir.path() / "config" / "lumora" / "agents.json");
  EXPECT_EQ(store.find(std::nullopt), std::nullopt);  // no file yet

  // The file and the directories made on the way are the user's alone, whatever the umask.
  const mode_t savedUmask = ::umask(0);
  store.save("office", kOffice);
  ::umask(savedUmask);
  EXPECT_EQ(testing_support::fileMode(store.path()), 0600u);
  EXPECT_EQ(testing_support::fileMode(dir.path() / "config"), 0700u);
  EXPECT_EQ(testing_support::fileMode(dir.path() / "config" / "lumora"), 0700u);
  store.save("laptop", kLaptop);
  EXPECT_EQ(store.find(std::nullopt), kLaptop);  // the latest pairing is current
  EXPECT_EQ(store.find("office"), kOffice);
  EXPECT_EQ(store.find("nowhere"), std::nullopt);
  EXPECT_EQ(store.names(), (std::vector<std::string>{"office", "laptop"}));

  // Re-pairing replaces the entry and makes it current again; no temporaries stay behind.
  PairingPayload moved = kOffice;
  moved.controlPort = 47900;
  store.save("office", moved);
  EXPECT_EQ(store.find(std::nullopt), moved);
  EXPECT_EQ(store.currentName(), "office");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(store.path().parent_path()), {}), 1);

  // A mode made wide meanwhile is narrowed on the next save.
  ::chmod(store.path().c_str(), 0644);
  store.save("laptop", kLaptop);
  EXPECT_EQ(testing_support::fileMode(store.path()), 0600u);
}

TEST(AgentStoreTest, DamagedFilesAreReportedNotGuessed) {
  TempDir dir;
  AgentStore store(dir.path() / "agents.json");
  dir.make("agents.json", "{not json");
  EXPECT_THROW(store.find(std::nullopt), std::runtime_error);
  dir.make("agents.json", R"({"current":"a","agents":{"a":{"host":"h","controlPort":70000,)"
                          R"("mediaPort":1,"code":"c"}}})");
  EXPECT_THROW(store.find(std::nullopt), std::runtime_error);
}

TEST(AgentResolutionTest, ExplicitLinkThenEnvironmentThenStore) {
  TempDir dir;
  AgentStore store(dir.path() / "agents.json");
  const std::string officeLink = kOffice.url();
  const std::string laptopLink = kLaptop.url();

  EXPECT_THROW(resolveAgent(std::nullopt, std::nullopt, store, std::nullopt), Failure);
  store.save("office", kOffice);
  EXPECT_EQ(resolveAgent(std::nullopt, std::nullopt, store, std::nullopt), kOffice);
  EXPECT_EQ(resolveAgent(std::nullopt, laptopLink, store, std::nullopt), kLaptop);
  EXPECT_EQ(resolveAgent(officeLink, laptopLink, store, std::nullopt), kOffice);
  // Naming a stored agent outranks the environment's link.
  EXPECT_EQ(resolveAgent(std::nullopt, laptopLink, store, "office"), kOffice);
  EXPECT_THROW(resolveAgent(std::nullopt, std::nullopt, store, "laptop"), Failure);
  EXPECT_THROW(resolveAgent("https://example.com", std::nullopt, store, std::nullopt), Failure);
}

}  // namespace
}  // namespace lumora::cli
