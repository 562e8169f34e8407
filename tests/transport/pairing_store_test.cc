#include "transport/pairing_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"
#include "transport/sealed_box.h"

namespace lumora::transport {
namespace {

using protocol::Bytes;
using protocol::PairingSecret;
using testing_support::TempDir;

Bytes fileBytes(const std::string& path) {
  return protocol::bytesOf(testing_support::contentOf(path));
}

TEST(PairingStoreTest, CreatesOnceThenKeepsTheSameSecret) {
  TempDir home;
  const std::string path = home / ".lumora/pairing";
  PairingStore store(path, MachineKey::deriveFor("machine-a", PairingStore::kSalt));
  EXPECT_FALSE(store.load().has_value());

  PairingSecret created = store.loadOrCreate();
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(testing_support::fileMode(path), 0600u);
  EXPECT_EQ(testing_support::fileMode(home / ".lumora"), 0700u)
      << "the folder of the secret is nobody else's";
  Bytes written = fileBytes(path);  // its layout: killed_while_writing_test
  // Sealed, not the code in clear.
  EXPECT_EQ(std::string(written.begin(), written.end()).find(created.code()), std::string::npos);

  EXPECT_EQ(store.loadOrCreate(), created);
  EXPECT_EQ(fileBytes(path), written);  // not rewritten
  EXPECT_EQ(store.load(), created);

  PairingSecret fresh = store.reset();
  EXPECT_NE(fresh, created);
  EXPECT_EQ(store.loadOrCreate(), fresh);

  // Where no file can be made, the save fails.
  PairingStore blocked(home.make("file", "") + "/pairing", Bytes(32, 1));
  EXPECT_THROW(blocked.loadOrCreate(), std::system_error);
}

TEST(PairingStoreTest, AFileFromAnotherMachineOrTamperedWithIsReplaced) {
  TempDir home;
  const std::string path = home / "pairing";
  PairingStore there(path, MachineKey::deriveFor("machine-a", PairingStore::kSalt));
  PairingStore here(path, MachineKey::deriveFor("machine-b", PairingStore::kSalt));
  PairingSecret theirs = there.loadOrCreate();

  EXPECT_FALSE(here.load().has_value());
  PairingSecret mine = here.loadOrCreate();
  EXPECT_NE(mine, theirs);
  EXPECT_EQ(here.load(), mine);

  Bytes tampered = fileBytes(path);
  tampered[14] ^= 0x01;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(tampered.data()),
             static_cast<std::streamsize>(tampered.size()));
  EXPECT_FALSE(here.load().has_value());
  EXPECT_NE(here.loadOrCreate(), mine);
}

TEST(SealedBoxTest, SealsWithAFreshNonceAndRefusesWhatIsTooShortToBeABox) {
  Bytes key(32, 7);
  Bytes box = SealedBox::seal(key, protocol::asBytes("secret"));
  EXPECT_EQ(SealedBox::open(key, box), protocol::bytesOf("secret"));
  EXPECT_NE(SealedBox::seal(key, protocol::asBytes("secret")), box);  // fresh nonce
  EXPECT_FALSE(SealedBox::open(key, Bytes(5)));
}

}  // namespace
}  // namespace lumora::transport
