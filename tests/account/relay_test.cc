// The relay's rooms with real WebSocket clients on loopback. A room opens with a host that has
// proved it holds the room's key; a peer joins only a hosted room, and is paired with the host
// before its upgrade is answered, so messages flow as soon as both have connected.

#include <gtest/gtest.h>

#include "protocol/relay_notices.h"
#include "service_harness.h"
#include "support/eventually.h"

namespace lumora::account::testing {
namespace {

using namespace std::chrono_literals;

const protocol::PairingSecret kSecret = protocol::PairingSecret::generate();
const protocol::RoomKey kKey = protocol::RoomKey::derive(kSecret);
const std::string kRoom = kKey.fingerprint();

class RelayTest : public ::testing::Test {
 protected:
  explicit RelayTest(const std::function<void(ServiceConfig&)>& configure = {})
      : service_(configure),
        access_(service_.client().signInWithDevice("ada@example.com", kSecret)) {}

  std::string relayToken() { return service_.client().relayToken(access_, kRoom); }
  std::unique_ptr<RelayClient> join(const std::string& target) {
    return std::make_unique<RelayClient>(service_.url(), target);
  }
  std::unique_ptr<RelayClient> host(const std::string& room = kRoom) {
    return RelayClient::host(service_.url(), room, kKey);
  }
  // A peer, and the host's notice of it, which comes before anything the peer sends.
  std::unique_ptr<RelayClient> peer(RelayClient& host, const std::string& room = kRoom) {
    auto joined = join("/relay/" + room + "?token=" + relayToken());
    EXPECT_EQ(joined->status(), 101);
    auto notice = host.receive();
    EXPECT_TRUE(notice && !notice->binary);
    EXPECT_EQ(notice ? protocol::RelayNotice::parsePeerJoined(notice->data) : std::nullopt,
              service_.client().get("/auth/me", access_).json().at("id").as_string().c_str());
    return joined;
  }
  int status(const std::string& target) { return join(target)->status(); }

  ServiceUnderTest service_;
  std::string access_;
};

// (That messages keep their order both ways is the sealed channels': a message out of order does
// not open, and the relay end-to-end tests run terminals and files through it.)
TEST_F(RelayTest, BinaryMessagesArriveWholeAndTextNever) {
  auto agent = host();
  auto phone = peer(*agent);
  // The text goes nowhere; an empty message, and a large one whose bytes say where they belong,
  // arrive whole.
  std::string large(3 << 20, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) {
    large[i] = static_cast<char>((i * 131 + (i >> 16)) & 0xff);
  }
  phone->sendText("{\"not\":\"relayed\"}");
  for (const std::string& message : {std::string(), large}) {
    phone->sendBinary(message);
    auto got = agent->receive();
    ASSERT_TRUE(got && got->binary);
    EXPECT_TRUE(got->data == message) << got->data.size() << " bytes of " << message.size();
  }
}

// Whoever knows a room's name (it is in device lists and relay URLs) still cannot host it: the
// relay wants a proof made with the key the room is named after, for a fresh challenge.
TEST_F(RelayTest, OnlyTheHolderOfTheRoomKeyHostsItsRooms) {
  auto refused = [&](const std::function<void(RelayClient&, const protocol::Bytes&)>& answer) {
    auto squatter = join("/relay/" + kRoom);
    if (squatter->status() != 101) return false;
    auto challenge = squatter->receive();
    auto nonce = challenge ? protocol::RelayNotice::parseChallenge(challenge->data) : std::nullopt;
    if (!nonce) return false;
    answer(*squatter, *nonce);
    return squatter->closedWithin(5s) && squatter->closeCode() == 1008;
  };
  const auto other = protocol::RoomKey::derive(protocol::PairingSecret::generate());
  EXPECT_TRUE(refused([&](RelayClient& c, const protocol::Bytes& nonce) {
    c.sendText(protocol::RelayNotice::proof(other.publicKey(), other.hostProof(kRoom, nonce)));
  }));
  EXPECT_TRUE(refused([&](RelayClient& c, const protocol::Bytes& nonce) {
    // The right key, signing this challenge for the media room: the service checks the proof
    // against the room being joined, so a proof is for one room only.
    c.sendText(
        protocol::RelayNotice::proof(kKey.publicKey(), kKey.hostProof(kRoom + "-media", nonce)));
  }));
  EXPECT_TRUE(refused([&](RelayClient& c, const protocol::Bytes&) {
    // A proof made for an earlier challenge.
    c.sendText(protocol::RelayNotice::proof(kKey.publicKey(),
                                            kKey.hostProof(kRoom, protocol::Bytes(32, 7))));
  }));
  EXPECT_TRUE(refused([&](RelayClient& c, const protocol::Bytes&) { c.sendBinary("let me in"); }));
  // Refused hosts hold nothing: the room is free for its agent, who holds it against the rest;
  // each room has one host and one peer.
  EXPECT_EQ(service_.service().relayRoomCount(), 0u);
  auto agent = host();
  auto media = host(kRoom + "-media");
  EXPECT_EQ(status("/relay/" + kRoom), 409);
  auto phone = peer(*agent);
  EXPECT_EQ(status("/relay/" + kRoom + "?token=" + relayToken()), 409);
  EXPECT_EQ(status("/relay/" + std::string(64, 'A')), 400);  // not a fingerprint
}

TEST_F(RelayTest, ThePeerSideNeedsATokenForThisRoomOrItsMediaRoomAndAHost) {
  const std::string token = relayToken();
  // Nobody to meet: refused at once, saying so, rather than left waiting in an empty room.
  auto alone = join("/relay/" + kRoom + "?token=" + token);
  EXPECT_EQ(alone->status(), 404);
  auto agent = host();
  auto media = host(kRoom + "-media");
  EXPECT_EQ(status("/relay/" + kRoom + "?token=forged"), 401);
  EXPECT_EQ(status("/relay/" + std::string(64, 'f') + "?token=" + token), 403);
  EXPECT_EQ(peer(*media, kRoom + "-media")->status(), 101);
  service_.advance(6min);
  EXPECT_EQ(status("/relay/" + kRoom + "?token=" + token), 401);
}

TEST_F(RelayTest, WhenASideLeavesTheOtherIsClosedAndTheRoomFreed) {
  auto agent = host();
  auto phone = peer(*agent);
  phone->sendBinary("last words");
  phone->close();
  ASSERT_TRUE(agent->closedWithin(10s));
  EXPECT_EQ(agent->closeCode(), 1000);
  EXPECT_TRUE(
      testing_support::eventually([&] { return service_.service().relayRoomCount() == 0; }));
}

class SmallRelayTest : public RelayTest {
 protected:
  SmallRelayTest()
      : RelayTest([](ServiceConfig& config) {
          config.server.relay.maxMessageBytes = 64 * 1024;
          config.server.relay.maxQueuedBytes = 256 * 1024;
          config.server.relay.stallTimeout = 300ms;
          config.server.relay.maxAloneMessageBytes = 4 * 1024;
          config.server.relay.maxRooms = 2;
          config.server.relay.hostProofTimeout = 300ms;
        }) {}
};

TEST_F(SmallRelayTest, AHostThatDoesNotAnswerTheChallengeIsLetGo) {
  auto squatter = join("/relay/" + kRoom);
  ASSERT_EQ(squatter->status(), 101);
  EXPECT_TRUE(squatter->closedWithin(5s));
  EXPECT_EQ(service_.service().relayRoomCount(), 0u);
}

TEST_F(SmallRelayTest, AReaderThatFallsBehindIsClosedInsteadOfBuffered) {
  auto agent = host();
  auto phone = peer(*agent);
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
  auto phone = peer(*agent);
  phone->sendBinary(std::string(65 * 1024, 'x'));
  ASSERT_TRUE(phone->closedWithin(10s));
  EXPECT_EQ(phone->closeCode(), 1009);
  EXPECT_TRUE(agent->closedWithin(10s));

  // Alone in its room a side is held to much less: what it sends goes nowhere.
  agent = host();
  agent->sendBinary(std::string(5 * 1024, 'x'));
  ASSERT_TRUE(agent->closedWithin(10s));
  EXPECT_EQ(agent->closeCode(), 1009);
}

TEST_F(SmallRelayTest, RoomsAreBounded) {
  auto control = host();
  auto media = host(kRoom + "-media");
  const auto other = protocol::RoomKey::derive(protocol::PairingSecret::generate());
  EXPECT_EQ(status("/relay/" + other.fingerprint()), 503);
  media.reset();
  EXPECT_TRUE(
      testing_support::eventually([&] { return service_.service().relayRoomCount() == 1; }));
  EXPECT_NO_THROW(RelayClient::host(service_.url(), other.fingerprint(), other));
}

}  // namespace
}  // namespace lumora::account::testing
