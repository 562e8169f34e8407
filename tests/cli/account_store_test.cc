#include "account_store.h"

#include <gtest/gtest.h>

#include <fstream>

#include "account_session.h"
#include "failure.h"
#include "protocol/pairing_secret.h"
#include "protocol/room_key.h"
#include "relay_route.h"
#include "support/temp_dir.h"
#include "support/thrown.h"

namespace lumora::cli {
namespace {

using testing_support::TempDir;

// Saving and the service kept after a logout: cli_account_e2e_tests; the file mode is the one
// private writer's, checked with the agent store (agent_store_test).
TEST(AccountStoreTest, ADamagedTokenRecordIsNamedNotTakenForNoLogin) {
  TempDir dir;
  AccountStore store(dir.path() / "account.json");
  std::ofstream(store.path()) << R"({"accountService":"x","tokens":{"accessToken":1}})";
  EXPECT_NE(testing_support::messageThrownBy<std::runtime_error>([&] {
              store.load();
            }).find("account.json are damaged"),
            std::string::npos);
}

TEST(RelayRoomsTest, FollowTheServiceSchemeAndOriginAndTheRoomKey) {
  const std::string code = "00112233445566778899aabbccddeeff";
  const std::string fingerprint =
      protocol::RoomKey::derive(*protocol::PairingSecret::fromCode(code)).fingerprint();
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
