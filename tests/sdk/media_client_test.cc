#include "sdk/media_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "scripted_peer.h"

namespace lumora::sdk {
namespace {

using namespace std::chrono_literals;
using protocol::Bytes;
using protocol::MediaFrame;
using test_support::ScriptedPeer;
using test_support::sdkErrorOf;

MediaFrame frameNumbered(std::uint64_t id, std::size_t payloadSize) {
  MediaFrame frame;
  frame.meta.frameID = id;
  frame.meta.width = 1280;
  frame.meta.height = 720;
  frame.meta.isKeyframe = id == 1;
  frame.meta.byteCount = static_cast<std::int64_t>(payloadSize);
  frame.payload = Bytes(payloadSize, static_cast<std::uint8_t>(id));
  return frame;
}

class MediaClientTest : public ::testing::Test {
 protected:
  Stream<MediaFrame> connect(const std::string& ticket = "ab01") {
    auto connecting = client_.connect("127.0.0.1", peer_.port(), ticket);
    peer_.accept();
    return connecting.get();
  }

  ScriptedPeer peer_;
  MediaClient client_;
};

TEST_F(MediaClientTest, PresentsTheTicketAsOneLengthPrefixedFrame) {
  auto frames = connect("0123456789abcdef");
  EXPECT_EQ(peer_.readExactly(20), (Bytes{0,   0,   0,   16,  '0', '1', '2', '3', '4', '5',
                                          '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'}));
}

TEST_F(MediaClientTest, YieldsFramesInOrderWhateverPiecesTheyArriveIn) {
  auto frames = connect();
  peer_.receiveFrame();
  Bytes wire = protocol::MediaFrameCodec::encode(frameNumbered(1, 3000));
  Bytes second = protocol::MediaFrameCodec::encode(frameNumbered(2, 0));
  wire.insert(wire.end(), second.begin(), second.end());
  // Cut inside the first length, the first header, the first payload and the second header.
  const std::size_t cuts[] = {2, 40, 1500, wire.size() - 10, wire.size()};
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    peer_.sendRaw(protocol::ByteView(wire).subspan(from, cut - from));
    from = cut;
    std::this_thread::sleep_for(20ms);
    if (cut < wire.size() - 10) {
      EXPECT_EQ(frames.tryNext(), std::nullopt);
    }
  }
  EXPECT_EQ(frames.next(), frameNumbered(1, 3000));
  EXPECT_EQ(frames.next(), frameNumbered(2, 0));
  peer_.close();
  EXPECT_EQ(frames.next(), std::nullopt);
  EXPECT_TRUE(frames.ended());
}

TEST_F(MediaClientTest, RefusedTicketEndsTheStreamWithoutFrames) {
  auto frames = connect();
  peer_.receiveFrame();
  peer_.close();
  EXPECT_EQ(frames.next(), std::nullopt);
}

TEST_F(MediaClientTest, AbandoningTheStreamClosesTheConnection) {
  {
    auto frames = connect();
    peer_.receiveFrame();
  }
  EXPECT_TRUE(peer_.closedWithin());
}

TEST_F(MediaClientTest, DisconnectEndsTheStreamAndClosesTheConnection) {
  auto frames = connect();
  peer_.receiveFrame();
  client_.disconnect();
  EXPECT_EQ(frames.next(), std::nullopt);
  EXPECT_TRUE(peer_.closedWithin());
  client_.disconnect();
}

TEST_F(MediaClientTest, BytesThatAreNotMediaFramesEndTheStream) {
  auto frames = connect();
  peer_.receiveFrame();
  peer_.sendRaw(protocol::MediaFrameCodec::encode(frameNumbered(1, 10)));
  // A header length far beyond any real header: the client must not wait for 4 GiB.
  peer_.sendRaw(Bytes{0xFF, 0xFF, 0xFF, 0xFF, '{'});
  EXPECT_EQ(frames.next(), frameNumbered(1, 10));
  EXPECT_EQ(frames.next(), std::nullopt);
  EXPECT_TRUE(peer_.closedWithin());
}

TEST_F(MediaClientTest, AFrameWithABadHeaderIsSkipped) {
  auto frames = connect();
  peer_.receiveFrame();
  Bytes bad = {0, 0, 0, 2, '{', '}', 0, 0, 0, 1, 0x42};
  peer_.sendRaw(bad);
  peer_.sendRaw(protocol::MediaFrameCodec::encode(frameNumbered(2, 5)));
  EXPECT_EQ(frames.next(), frameNumbered(2, 5));
}

TEST(MediaClientConnectTest, ConnectFailuresAreReported) {
  MediaClient client(std::chrono::milliseconds(2500));
  EXPECT_EQ(sdkErrorOf(client.connect("127.0.0.1", 0, "t")).reason(), "invalid port 0");
  std::uint16_t port;
  {
    ScriptedPeer gone;
    port = gone.port();
  }
  SDKError refused = sdkErrorOf(client.connect("127.0.0.1", port, "t"));
  EXPECT_EQ(refused.kind(), SDKError::Kind::connectionFailed);
  EXPECT_EQ(refused.reason(), "Connection refused");
}

}  // namespace
}  // namespace lumora::sdk
