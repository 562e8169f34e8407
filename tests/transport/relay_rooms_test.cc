// The relay media publisher in a media room of the real relay (the account service run in this
// process on loopback), watched by a phone's plain WebSocket client.

#include <gtest/gtest.h>

#include <thread>

#include "account/service_harness.h"
#include "support/eventually.h"
#include "support/run_awaitable.h"
#include "transport/relay_media_publisher.h"

namespace lumora::transport {
namespace {

using namespace std::chrono_literals;
using account::testing::RelayClient;
using account::testing::ServiceUnderTest;
using testing_support::eventually;

const std::string kFingerprint(64, 'd');

protocol::MediaFrame frame(std::uint64_t id, bool isKeyframe) {
  protocol::MediaFrame made;
  made.meta.frameID = id;
  made.meta.width = 640;
  made.meta.height = 480;
  made.meta.isKeyframe = isKeyframe;
  made.payload = protocol::Bytes(1000 + id, static_cast<std::uint8_t>(id));
  made.meta.byteCount = static_cast<std::int64_t>(made.payload.size());
  return made;
}

TEST(RelayMediaPublisherTest, PublishesOneFramePerMessageFromAKeyFrameOnUntilStopped) {
  ServiceUnderTest service;
  const std::string token = service.client().relayToken(
      service.client().signInWithDevice("ada@example.com", kFingerprint), kFingerprint);

  testing_support::ThreadedIo io;
  const std::string room = "/relay/" + kFingerprint + "-media";
  // Were a phone's leaving taken as a failed join, the next phone would wait for this.
  RelayLink::Options options;
  options.firstRetry = 60s;
  RelayMediaPublisher publisher(io.executor(), "ws://" + service.url().substr(7) + room, options);
  publisher.connect();

  // A phone that starts between key frames could not decode what it gets: the publisher begins
  // with the next key frame, for each phone that joins.
  std::uint64_t join = 0;
  for (std::uint64_t first : {1u, 10u}) {
    ++join;
    ASSERT_TRUE(eventually([&] { return publisher.currentJoin() == join; }));
    RelayClient phone(service.url(), room + "?token=" + token);
    ASSERT_EQ(phone.status(), 101);
    publisher.broadcast(frame(first, false));
    publisher.broadcast(frame(first + 1, true));
    publisher.broadcast(frame(first + 2, false));
    for (std::uint64_t expected : {first + 1, first + 2}) {
      auto message = phone.receive();
      ASSERT_TRUE(message);
      EXPECT_TRUE(message->binary);
      protocol::MediaFrameDecoder decoder;
      auto frames = decoder.push(protocol::asBytes(message->data));
      ASSERT_EQ(frames.size(), 1u) << "one frame per message";
      EXPECT_EQ(frames[0], frame(expected, expected == first + 1));
    }
    // The phone leaves: the relay ends the room, and the publisher is back in it at once.
    phone.close();
  }

  ASSERT_TRUE(eventually([&] { return publisher.currentJoin() == join + 1; }));
  RelayClient phone(service.url(), room + "?token=" + token);
  ASSERT_EQ(phone.status(), 101);
  // Stopping leaves the room for good: the relay ends the phone's side, and nobody rejoins.
  io.run(publisher.stop());
  EXPECT_TRUE(phone.closedWithin(5s));
  EXPECT_TRUE(eventually([&] { return service.service().relayRoomCount() == 0; }));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(service.service().relayRoomCount(), 0u);
  publisher.broadcast(frame(4, true));  // nowhere to go, and no harm
}

}  // namespace
}  // namespace lumora::transport
