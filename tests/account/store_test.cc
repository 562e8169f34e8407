// The account store's rules, the same cases over SQLite and PostgreSQL.

#include <gtest/gtest.h>

#include <thread>

#include "account/sql_account_store.h"
#include "account/sqlite_database.h"
#include "support/postgres_server.h"
#include "support/temp_dir.h"

namespace lumora::account::testing {
namespace {

enum class Database { sqlite, postgresql };

std::string nameOf(const ::testing::TestParamInfo<Database>& info) {
  return info.param == Database::sqlite ? "SQLite" : "PostgreSQL";
}

const std::string kPrint(64, 'a');
const std::string kOtherPrint(64, 'b');

class StoreTest : public ::testing::TestWithParam<Database> {
 protected:
  void SetUp() override {
    auto* postgres = testing_support::PostgresServer::shared();
    if (GetParam() == Database::postgresql && !postgres) {
      GTEST_SKIP() << "PostgreSQL cannot start here: " << testing_support::PostgresServer::why();
    }
    url_ = GetParam() == Database::sqlite ? "sqlite:" + folder_ / "accounts.sqlite"
                                          : postgres->freshDatabase();
    store_ = openAccountStore(url_);
    alice_ = store_->signIn({"dev", "alice", "alice@example.com", std::nullopt}, 1000);
    bob_ = store_->signIn({"dev", "bob", std::nullopt, "Bob"}, 1000);
  }

  testing_support::TempDir folder_;
  std::string url_;
  std::unique_ptr<AccountStore> store_;
  User alice_, bob_;
};

TEST_P(StoreTest, SignInFindsTheSameAccountAndFollowsTheProvidersDetails) {
  User again = store_->signIn({"dev", "alice", "alice@new.example", "Alice"}, 2000);
  EXPECT_EQ(again.id, alice_.id);
  EXPECT_EQ(again.email, "alice@new.example");
  EXPECT_EQ(again.displayName, "Alice");
  EXPECT_EQ(store_->findUser(alice_.id), again);
  // The same subject at another provider is another account.
  EXPECT_NE(store_->signIn({"google", "alice", std::nullopt, std::nullopt}, 3000).id, alice_.id);
}

TEST_P(StoreTest, ARefreshTokenIsUsedOnceThenReportedAsReused) {
  store_->addRefreshToken("hash-1", alice_.id, "family", 10'000);
  auto first = store_->useRefreshToken("hash-1", 5000);
  EXPECT_EQ(first.outcome, AccountStore::RefreshUse::Outcome::accepted);
  EXPECT_EQ(first.userId, alice_.id);
  EXPECT_EQ(first.family, "family");
  EXPECT_EQ(store_->useRefreshToken("hash-1", 5001).outcome,
            AccountStore::RefreshUse::Outcome::reused);
  EXPECT_EQ(store_->useRefreshToken("unknown", 5000).outcome,
            AccountStore::RefreshUse::Outcome::unknown);
  // A sign-out finds the family of a token whether it was used or not.
  EXPECT_EQ(store_->refreshTokenFamily("hash-1"), "family");
  EXPECT_EQ(store_->refreshTokenFamily("unknown"), std::nullopt);

  store_->addRefreshToken("hash-2", alice_.id, "family", 10'000);
  store_->revokeRefreshFamily("family");
  EXPECT_EQ(store_->useRefreshToken("hash-2", 5000).outcome,
            AccountStore::RefreshUse::Outcome::unknown);

  store_->addRefreshToken("hash-3", alice_.id, "other", 10'000);
  EXPECT_EQ(store_->useRefreshToken("hash-3", 10'000).outcome,
            AccountStore::RefreshUse::Outcome::expired);
}

TEST_P(StoreTest, OfTwoInstancesRacingWithOneRefreshTokenOnlyOneWins) {
  store_->addRefreshToken("raced", alice_.id, "family", 1'000'000);
  auto second = openAccountStore(url_);
  std::atomic<int> accepted{0};
  std::vector<std::thread> instances;
  for (AccountStore* store : {store_.get(), second.get()}) {
    instances.emplace_back([&accepted, store] {
      accepted +=
          store->useRefreshToken("raced", 1).outcome == AccountStore::RefreshUse::Outcome::accepted;
    });
  }
  for (auto& instance : instances) instance.join();
  EXPECT_EQ(accepted, 1);
}

TEST_P(StoreTest, RegisteringCreatesThenLeavesAloneThenAddsTheFingerprint) {
  using Outcome = AccountStore::Registration::Outcome;
  auto created = store_->registerDevice(alice_.id, "desk", "linux", std::nullopt, 2000);
  EXPECT_EQ(created.outcome, Outcome::created);
  EXPECT_EQ(created.device.status, "registered");
  EXPECT_EQ(created.device.createdAt, 2000);
  EXPECT_FALSE(created.device.pairingFingerprint);

  auto again = store_->registerDevice(alice_.id, "desk", "linux", std::nullopt, 3000);
  EXPECT_EQ(again.outcome, Outcome::unchanged);
  EXPECT_EQ(again.device, created.device);

  auto serving = store_->registerDevice(alice_.id, "desk", "linux", kPrint, 4000);
  EXPECT_EQ(serving.outcome, Outcome::updated);
  EXPECT_EQ(serving.device.id, created.device.id);
  EXPECT_EQ(serving.device.pairingFingerprint, kPrint);
  EXPECT_EQ(store_->registerDevice(alice_.id, "desk", "linux", kPrint, 5000).outcome,
            Outcome::unchanged);
  // Registered again while stopped: the fingerprint it had stays.
  EXPECT_EQ(store_->registerDevice(alice_.id, "desk", "linux", std::nullopt, 6000)
                .device.pairingFingerprint,
            kPrint);
  // A new pairing secret replaces the old fingerprint.
  EXPECT_EQ(store_->registerDevice(alice_.id, "desk", "linux", kOtherPrint, 7000).outcome,
            Outcome::updated);

  // Another account's device of the same name is another device.
  EXPECT_EQ(store_->registerDevice(bob_.id, "desk", "linux", std::nullopt, 8000).outcome,
            Outcome::created);
  EXPECT_EQ(store_->listDevices(alice_.id).size(), 1u);
}

TEST_P(StoreTest, DevicesAreFoundChangedAndDeletedOnlyByTheirOwnAccount) {
  auto desk = store_->registerDevice(alice_.id, "desk", "linux", kPrint, 2000).device;
  EXPECT_EQ(store_->findDeviceByFingerprint(alice_.id, kPrint), desk);
  EXPECT_FALSE(store_->findDeviceByFingerprint(bob_.id, kPrint));
  EXPECT_FALSE(store_->findDeviceByFingerprint(alice_.id, kOtherPrint));

  using Rename = AccountStore::Rename::Outcome;
  EXPECT_EQ(store_->renameDevice(bob_.id, desk.id, "mine now").outcome, Rename::notFound);
  auto renamed = store_->renameDevice(alice_.id, desk.id, "study");
  EXPECT_EQ(renamed.outcome, Rename::renamed);
  EXPECT_EQ(renamed.device.name, "study");
  store_->registerDevice(alice_.id, "laptop", "linux", std::nullopt, 3000);
  EXPECT_EQ(store_->renameDevice(alice_.id, desk.id, "laptop").outcome, Rename::nameTaken);

  EXPECT_FALSE(store_->reportConnection(bob_.id, desk.id, {"10.0.0.2", 47800, 47801}, 4000));
  auto reported = store_->reportConnection(alice_.id, desk.id, {"10.0.0.2", 47800, 0}, 4000);
  ASSERT_TRUE(reported);
  EXPECT_EQ(std::tie(reported->status, reported->lastSeenAt, reported->lastHost,
                     reported->lastControlPort, reported->lastMediaPort),
            std::tuple("connected", 4000, "10.0.0.2", 47800, 0));

  EXPECT_FALSE(store_->deleteDevice(bob_.id, desk.id));
  EXPECT_TRUE(store_->deleteDevice(alice_.id, desk.id));
  EXPECT_FALSE(store_->deleteDevice(alice_.id, desk.id));
  EXPECT_FALSE(store_->findDeviceByFingerprint(alice_.id, kPrint));
}

TEST_P(StoreTest, ReopeningKeepsTheDataTheSchemaAndTheSigningSecret) {
  const std::string secret = store_->signingSecret();
  store_->registerDevice(alice_.id, "desk", "linux", kPrint, 2000);
  store_.reset();
  auto reopened = openAccountStore(url_);
  EXPECT_EQ(reopened->signingSecret(), secret);
  EXPECT_EQ(reopened->listDevices(alice_.id).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(BothDatabases, StoreTest,
                         ::testing::Values(Database::sqlite, Database::postgresql), nameOf);

// Fingerprints from before registration had to prove the pairing secret are forgotten when the
// schema moves on, so none of them still earns a relay token.
TEST(StoreMigration, FingerprintsRegisteredWithoutProofAreForgotten) {
  testing_support::TempDir folder;
  const std::string path = folder / "accounts.sqlite";
  auto store = openAccountStore("sqlite:" + path);
  const User alice = store->signIn({"dev", "alice", std::nullopt, std::nullopt}, 1000);
  store->registerDevice(alice.id, "desk", "linux", kPrint, 2000);
  store.reset();
  openSqliteDatabase(path)->query("DELETE FROM schema_migrations WHERE version = 2", {});

  store = openAccountStore("sqlite:" + path);
  EXPECT_FALSE(store->findDeviceByFingerprint(alice.id, kPrint));
  ASSERT_EQ(store->listDevices(alice.id).size(), 1u);
  EXPECT_FALSE(store->listDevices(alice.id)[0].pairingFingerprint);
}

}  // namespace
}  // namespace lumora::account::testing
