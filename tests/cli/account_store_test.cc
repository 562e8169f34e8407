#include "account_store.h"

#include <gtest/gtest.h>

#include <fstream>

#include "account_session.h"
#include "failure.h"
#include "protocol/pairing_secret.h"
#include "relay_route.h"
#include "support/temp_dir.h"
#include "support/thrown.h"

namespace lumora::cli {
namespace {

using testing_support::TempDir;

TEST(AccountStoreTest, KeepsTheServiceAfterTheTokensAreGoneAndNamesADamagedFile) {
  TempDir dir;
  AccountStore store(dir.path() / "lumora" / "account.json");
  EXPECT_FALSE(store.load().serviceURL);  // nothing stored yet

  const sdk::AuthTokens tokens{"access", "refresh", {"u1", "github", std::nullopt, "Ada"}};
  store.save({"https://accounts.example", tokens});
  EXPECT_EQ(testing_support::fileMode(store.path()), 0600u);
  EXPECT_EQ(store.load().tokens, tokens);
  store.save({"https://accounts.example", std::nullopt});
  EXPECT_EQ(store.load().serviceURL, "https://accounts.example");
  EXPECT_FALSE(store.load().tokens);

  std::ofstream(store.path()) << R"({"accountService":"x","tokens":{"accessToken":1}})";
  EXPECT_NE(
      testing_support::messageThrownBy<std::runtime_error>([&] { store.load(); }).find("damaged"),
      std::string::npos);
}

TEST(RelayRoomsTest, FollowTheServiceSchemeAndOriginAndThePairingFingerprint) {
  const std::string code = "00112233445566778899aabbccddeeff";
  const std::string fingerprint = protocol::PairingSecret::fromCode(code)->fingerprint();
  const protocol::PairingPayload agent{"10.0.0.1", 1, 2, code};
  const RelayRoute secure = relayRooms("https://accounts.example:8443/api/v1", agent);
  EXPECT_EQ(secure.controlURL, "wss://accounts.example:8443/relay/" + fingerprint);
  EXPECT_EQ(secure.mediaURL, secure.controlURL + "-media");
  EXPECT_EQ(relayRooms("http://127.0.0.1:8780", agent).controlURL,
            "ws://127.0.0.1:8780/relay/" + fingerprint);

  EXPECT_EQ(testing_support::messageThrownBy<Failure>(
                [&] { relayRooms("ftp://accounts.example", agent); }),
            "invalid account service URL: ftp://accounts.example (not http or https)");
  EXPECT_EQ(testing_support::messageThrownBy<Failure>([&] {
              relayRooms("http://a.example", {"h", 1, 2, "not a code"});
            }),
            "invalid pairing code");
}

}  // namespace
}  // namespace lumora::cli
