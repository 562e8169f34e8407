// The relay's rooms with real WebSocket clients on loopback.

#include <gtest/gtest.h>

#include <thread>

#include "service_harness.h"
#include "support/eventually.h"

namespace lumora::account::testing {
namespace {

using namespace std::chrono_literals;

const std::string kRoom(64, 'e');

class RelayTest : public ::testing::Test {
 protected:
  explicit RelayTest(const std::function<void(ServiceConfig&)>& configure = {})
      : service_(freshDatabase(Database::sqlite, folder_), true, configure) {
    auto client = service_.client();
    access_ = std::string(client.signInAs("ada@example.com").at("accessToken").as_string());
    client.post("/devices",
                {{"name", "desk"}, {"platform", "linux"}, {"pairingFingerprint", kRoom}}, access_);
  }

  std::string relayToken() {
    auto reply = service_.client().post("/relay/token", {{"fingerprint", kRoom}}, access_);
    return std::string(reply.json().at("token").as_string());
  }
  std::unique_ptr<RelayClient> host(const std::string& room = kRoom) {
    return std::make_unique<RelayClient>(service_.url(), "/relay/" + room);
  }
  std::unique_ptr<RelayClient> peer(const std::string& room = kRoom) {
    return std::make_unique<RelayClient>(service_.url(),
                                         "/relay/" + room + "?token=" + relayToken());
  }
  // Both sides joined and paired: a message gets through.
  static void awaitPaired(RelayClient& from, RelayClient& to) {
    for (int attempt = 0; attempt < 200; ++attempt) {
      from.sendBinary("ping");
      try {
        if (to.receive(50ms)) return;
      } catch (const std::runtime_error&) {
      }
    }
    FAIL() << "the room never paired";
  }

  testing_support::TempDir folder_;
  ServiceUnderTest service_;
  std::string access_;
};

TEST_F(RelayTest, BinaryMessagesArriveWholeAndInOrderBothWays) {
  auto agent = host();
  auto phone = peer();
  // Messages sent while alone in the room go nowhere; the pairing completes in the background.
  awaitPaired(*phone, *agent);
  while (true) {  // drain pings that raced the pairing
    phone->sendBinary("fence");
    bool fenced = false;
    while (auto message = agent->receive()) {
      if (message->data == "fence") {
        fenced = true;
        break;
      }
    }
    if (fenced) break;
  }

  std::vector<std::string> sent;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{125}, std::size_t{126},
                           std::size_t{65536}, std::size_t{1} << 20, std::size_t{3} << 20}) {
    std::string message(size, '\0');
    for (std::size_t i = 0; i < size; ++i) message[i] = static_cast<char>((i * 131 + size) & 0xff);
    sent.push_back(message);
    phone->sendBinary(message);
  }
  for (const auto& expected : sent) {
    auto got = agent->receive();
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->binary);
    EXPECT_EQ(got->data.size(), expected.size());
    EXPECT_TRUE(got->data == expected);
  }
  for (int i = 0; i < 100; ++i) agent->sendBinary("reply " + std::to_string(i));
  for (int i = 0; i < 100; ++i) {
    auto got = phone->receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->data, "reply " + std::to_string(i));
  }
}

TEST_F(RelayTest, TextMessagesAreNeverForwarded) {
  auto agent = host();
  auto phone = peer();
  awaitPaired(*phone, *agent);
  phone->sendText("{\"not\":\"relayed\"}");
  phone->sendBinary("marker");
  std::optional<RelayClient::Message> got;
  do {
    got = agent->receive();
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->binary);
  } while (got->data != "marker");
}

TEST_F(RelayTest, EachRoomHasOneHostAndOnePeer) {
  auto agent = host();
  EXPECT_EQ(RelayClient::upgradeStatus(service_.url(), "/relay/" + kRoom), 409);
  auto phone = peer();
  EXPECT_EQ(
      RelayClient::upgradeStatus(service_.url(), "/relay/" + kRoom + "?token=" + relayToken()),
      409);
  // Another room is another pair.
  EXPECT_EQ(RelayClient::upgradeStatus(service_.url(), "/relay/other-room"), 101);
}

TEST_F(RelayTest, ThePeerSideNeedsATokenForThisRoomOrItsMediaRoom) {
  const std::string token = relayToken();
  EXPECT_EQ(RelayClient::upgradeStatus(service_.url(), "/relay/" + kRoom + "?token=forged"), 401);
  EXPECT_EQ(RelayClient::upgradeStatus(service_.url(), "/relay/" + kRoom + "?token=" + token + "x"),
            401);
  EXPECT_EQ(RelayClient::upgradeStatus(service_.url(),
                                       "/relay/" + std::string(64, 'f') + "?token=" + token),
            403);
  // An access token is not a relay token.
  EXPECT_EQ(RelayClient::upgradeStatus(service_.url(), "/relay/" + kRoom + "?token=" + access_),
            401);
  EXPECT_EQ(RelayClient::upgradeStatus(service_.url(), "/relay/" + kRoom + "-media?token=" + token),
            101);
  EXPECT_EQ(RelayClient::upgradeStatus(service_.url(), "/relay/bad%20room"), 400);
  service_.advance(6min);
  EXPECT_EQ(RelayClient::upgradeStatus(service_.url(), "/relay/" + kRoom + "?token=" + token), 401);
}

TEST_F(RelayTest, WhenThePeerLeavesTheHostIsClosedNormallyAndTheRoomFreed) {
  auto agent = host();
  auto phone = peer();
  awaitPaired(*phone, *agent);
  phone->sendBinary("last words");
  phone->close();
  ASSERT_TRUE(agent->closedWithin(10s));
  EXPECT_EQ(agent->closeCode(), 1000);
  ASSERT_TRUE(
      testing_support::eventually([&] { return service_.service().relayRoomCount() == 0; }));
  // A fresh connection takes the host side again.
  auto again = host();
  auto phoneAgain = peer();
  awaitPaired(*phoneAgain, *again);
}

TEST_F(RelayTest, WhenTheHostLeavesThePeerIsClosedToo) {
  auto agent = host();
  auto phone = peer();
  awaitPaired(*phone, *agent);
  agent.reset();  // dropped without a closing handshake
  EXPECT_TRUE(phone->closedWithin(10s));
}

class SmallRelayTest : public RelayTest {
 protected:
  SmallRelayTest()
      : RelayTest([](ServiceConfig& config) {
          config.server.relay.maxMessageBytes = 64 * 1024;
          config.server.relay.maxQueuedBytes = 256 * 1024;
          config.server.relay.stallTimeout = 300ms;
        }) {}
};

TEST_F(SmallRelayTest, AReaderThatFallsBehindIsClosedInsteadOfBuffered) {
  auto agent = host();
  auto phone = peer();
  awaitPaired(*phone, *agent);
  // The phone stops reading; the agent keeps sending until the relay gives up on the phone,
  // which ends the room: the agent is then closed normally.
  const std::string chunk(60 * 1024, 'm');
  std::thread sender([&] {
    try {
      for (int i = 0; i < 4000; ++i) agent->sendBinary(chunk);  // 240 MB at most
    } catch (const std::exception&) {
    }
  });
  sender.join();
  EXPECT_TRUE(phone->closedWithin(10s));
  EXPECT_EQ(phone->closeCode(), 0);  // dropped, no closing handshake
  EXPECT_TRUE(agent->closedWithin(10s));
  EXPECT_EQ(agent->closeCode(), 1000);
}

TEST_F(SmallRelayTest, AnOversizedMessageClosesItsSender) {
  auto agent = host();
  auto phone = peer();
  awaitPaired(*phone, *agent);
  phone->sendBinary(std::string(65 * 1024, 'x'));
  ASSERT_TRUE(phone->closedWithin(10s));
  EXPECT_EQ(phone->closeCode(), 1009);
  EXPECT_TRUE(agent->closedWithin(10s));
}

}  // namespace
}  // namespace lumora::account::testing
