// The relay's rooms with real WebSocket clients on loopback. A room pairs its two sides before
// the second one's upgrade is answered, so messages flow as soon as both have connected.

#include <gtest/gtest.h>

#include "service_harness.h"
#include "support/eventually.h"

namespace lumora::account::testing {
namespace {

using namespace std::chrono_literals;

const std::string kRoom(64, 'e');

class RelayTest : public ::testing::Test {
 protected:
  explicit RelayTest(const std::function<void(ServiceConfig&)>& configure = {})
      : service_(configure),
        access_(service_.client().signInWithDevice("ada@example.com", kRoom)) {}

  std::string relayToken() { return service_.client().relayToken(access_, kRoom); }
  std::unique_ptr<RelayClient> join(const std::string& target) {
    return std::make_unique<RelayClient>(service_.url(), target);
  }
  std::unique_ptr<RelayClient> host() { return join("/relay/" + kRoom); }
  std::unique_ptr<RelayClient> peer() { return join("/relay/" + kRoom + "?token=" + relayToken()); }
  int status(const std::string& target) { return join(target)->status(); }

  ServiceUnderTest service_;
  std::string access_;
};

TEST_F(RelayTest, BinaryMessagesArriveWholeAndInOrderBothWaysAndTextNever) {
  auto agent = host();
  auto phone = peer();
  std::vector<std::string> sent;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{125}, std::size_t{126},
                           std::size_t{65536}, std::size_t{1} << 20, std::size_t{3} << 20}) {
    std::string message(size, '\0');
    for (std::size_t i = 0; i < size; ++i) message[i] = static_cast<char>((i * 131 + size) & 0xff);
    sent.push_back(message);
    phone->sendBinary(message);
    phone->sendText("{\"not\":\"relayed\"}");
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

TEST_F(RelayTest, EachRoomHasOneHostAndOnePeer) {
  auto agent = host();
  EXPECT_EQ(status("/relay/" + kRoom), 409);
  auto phone = peer();
  EXPECT_EQ(status("/relay/" + kRoom + "?token=" + relayToken()), 409);
}

TEST_F(RelayTest, ThePeerSideNeedsATokenForThisRoomOrItsMediaRoom) {
  const std::string token = relayToken();
  EXPECT_EQ(status("/relay/" + kRoom + "?token=forged"), 401);
  EXPECT_EQ(status("/relay/" + std::string(64, 'f') + "?token=" + token), 403);
  // An access token is not a relay token.
  EXPECT_EQ(status("/relay/" + kRoom + "?token=" + access_), 401);
  EXPECT_EQ(status("/relay/" + kRoom + "-media?token=" + token), 101);
  EXPECT_EQ(status("/relay/bad%20room"), 400);
  service_.advance(6min);
  EXPECT_EQ(status("/relay/" + kRoom + "?token=" + token), 401);
}

TEST_F(RelayTest, WhenEitherSideLeavesTheOtherIsClosedAndTheRoomFreed) {
  auto agent = host();
  auto phone = peer();
  phone->sendBinary("last words");
  phone->close();
  ASSERT_TRUE(agent->closedWithin(10s));
  EXPECT_EQ(agent->closeCode(), 1000);
  ASSERT_TRUE(
      testing_support::eventually([&] { return service_.service().relayRoomCount() == 0; }));

  // A fresh pair takes the room again; this time the host drops without a closing handshake.
  agent = host();
  phone = peer();
  agent->sendBinary("hello");
  ASSERT_TRUE(phone->receive());
  agent.reset();
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
  // The phone stops reading; the agent keeps sending until the relay gives up on the phone,
  // which ends the room: the agent is then closed normally. The relay sends the agent nothing
  // but that close, so the agent stops sending once something arrives, and reads the close
  // before the relay's closing handshake runs out of time.
  const std::string chunk(60 * 1024, 'm');
  try {
    for (int i = 0; i < 4000 && !agent->hasUnreadBytes(); ++i) agent->sendBinary(chunk);
  } catch (const std::exception&) {
  }
  EXPECT_TRUE(phone->closedWithin(10s));
  EXPECT_EQ(phone->closeCode(), 0);  // dropped, no closing handshake
  EXPECT_TRUE(agent->closedWithin(10s));
  EXPECT_EQ(agent->closeCode(), 1000);
}

TEST_F(SmallRelayTest, AnOversizedMessageClosesItsSender) {
  auto agent = host();
  auto phone = peer();
  phone->sendBinary(std::string(65 * 1024, 'x'));
  ASSERT_TRUE(phone->closedWithin(10s));
  EXPECT_EQ(phone->closeCode(), 1009);
  EXPECT_TRUE(agent->closedWithin(10s));
}

}  // namespace
}  // namespace lumora::account::testing
