// The agent's relay rooms (the media publisher and the control connector) in the real relay of
// the account service run in this process on loopback, with phones played by hand: what crosses
// the relay before, during and after the relay handshake.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "account/relay_phone.h"
#include "account/service_harness.h"
#include "support/eventually.h"
#include "support/media_frames.h"
#include "support/run_awaitable.h"
#include "transport/relay_connector.h"
#include "transport/relay_media_publisher.h"

namespace lumora::transport {
namespace {

using namespace std::chrono_literals;
using account::testing::RelayPhone;
using account::testing::ServiceUnderTest;
using protocol::RelayChannel;
using testing_support::eventually;
using testing_support::testFrame;

const protocol::PairingSecret kSecret = protocol::PairingSecret::generate();
const std::string kRoom = protocol::RoomKey::derive(kSecret).fingerprint();

class RelayRoomsTest : public ::testing::Test {
 protected:
  RelayRoomsTest() { options_.pairingTimeout = 500ms; }

  std::string url(const std::string& room) { return "ws://" + service_.url().substr(7) + room; }
  std::unique_ptr<RelayPhone> phone(const std::string& room, RelayChannel channel) {
    return std::make_unique<RelayPhone>(service_.url(), room, token_, kSecret, channel);
  }

  ServiceUnderTest service_;
  const std::string token_ = service_.client().relayToken(
      service_.client().signInWithDevice("ada@example.com", kSecret), kRoom);
  testing_support::ThreadedIo io_;
  RelayLink::Options options_;
};

TEST_F(RelayRoomsTest, FramesGoOnlyToAViewerThatProvedTheSecretFromAKeyFrameOn) {
  const std::string room = kRoom + "-media";
  // Were a phone's leaving taken as a failed join, the next phone would wait for this.
  options_.firstRetry = 60s;
  RelayMediaPublisher publisher(io_.executor(), url("/relay/" + room), kSecret, options_);
  std::atomic<int> viewers = 0;
  publisher.setOnViewerChanged([&](bool present) { viewers += present ? 1 : -1; });
  publisher.connect();

  // A peer in the room that has not proven the secret gets nothing, key frames included, and
  // one that proves it wrongly is let go.
  ASSERT_TRUE(eventually([&] { return publisher.currentJoin() == 1; }));
  auto stranger = phone(room, RelayChannel::media);
  ASSERT_EQ(stranger->socket().status(), 101);
  publisher.broadcast(testFrame(1, true));
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(stranger->socket().hasUnreadBytes());
  ASSERT_TRUE(stranger->handshake(true));
  publisher.broadcast(testFrame(2, true));
  EXPECT_TRUE(stranger->socket().closedWithin(5s));
  EXPECT_EQ(viewers, 0);

  // A viewer starts at the next key frame; every frame comes sealed, one per message.
  std::uint64_t join = 1;
  for (std::uint64_t first : {10u, 20u}) {
    ++join;
    ASSERT_TRUE(eventually([&] { return publisher.currentJoin() == join; }));
    auto viewer = phone(room, RelayChannel::media);
    ASSERT_TRUE(viewer->handshake());
    ASSERT_TRUE(eventually([&] { return publisher.hasViewer(); }));
    EXPECT_EQ(viewers, 1);
    publisher.broadcast(testFrame(first, false));
    publisher.broadcast(testFrame(first + 1, true));
    publisher.broadcast(testFrame(first + 2, false));
    for (std::uint64_t expected : {first + 1, first + 2}) {
      auto message = viewer->receiveSealed();
      ASSERT_TRUE(message);
      protocol::MediaFrameDecoder decoder;
      auto frames = decoder.push(*message);
      ASSERT_EQ(frames.size(), 1u) << "one frame per message";
      EXPECT_EQ(frames[0], testFrame(expected, expected == first + 1));
    }
    // The viewer leaves: the relay ends the room, and the publisher is back in it at once.
    viewer->socket().close();
    ASSERT_TRUE(eventually([&] { return viewers == 0; }));
  }

  ASSERT_TRUE(eventually([&] { return publisher.currentJoin() == join + 1; }));
  auto last = phone(room, RelayChannel::media);
  ASSERT_EQ(last->socket().status(), 101);
  // Stopping leaves the room: the relay ends the phone's side.
  io_.run(publisher.stop());
  EXPECT_TRUE(last->socket().closedWithin(5s));
  EXPECT_TRUE(eventually([&] { return service_.service().relayRoomCount() == 0; }));
  publisher.broadcast(testFrame(4, true));  // nowhere to go, and no harm
}

// A peer that joins and never pairs would hold the room's only peer side for good, locking the
// owner's phone out: it is let go, and the agent is back in the room for the next one.
TEST_F(RelayRoomsTest, APeerThatDoesNotPairIsLetGoInBothRooms) {
  ConnectionContext::Dependencies dependencies;
  dependencies.authenticator = Authenticator{kSecret};
  RelayConnector connector(io_.executor(), url("/relay/" + kRoom), dependencies, options_);
  RelayMediaPublisher publisher(io_.executor(), url("/relay/" + kRoom + "-media"), kSecret,
                                options_);
  connector.connect();
  publisher.connect();
  ASSERT_TRUE(eventually([&] { return service_.service().relayRoomCount() == 2; }));

  auto idle = phone(kRoom, RelayChannel::control);
  auto halfway = phone(kRoom + "-media", RelayChannel::media);
  ASSERT_EQ(idle->socket().status(), 101);
  ASSERT_EQ(halfway->socket().status(), 101);
  halfway->socket().sendBinary(std::string(protocol::asText(
      protocol::RelayHandshakePhone(kSecret, RelayChannel::media).hello())));  // and then nothing
  EXPECT_TRUE(idle->socket().closedWithin(5s));
  EXPECT_TRUE(halfway->socket().closedWithin(5s));

  // The control room's next phone gets the agent's challenge: the agent is there again.
  ASSERT_TRUE(eventually([&] {
    auto next = phone(kRoom, RelayChannel::control);
    return next->socket().status() == 101 && next->handshake();
  }));
  io_.run(connector.stop());
  io_.run(publisher.stop());
}

}  // namespace
}  // namespace lumora::transport
