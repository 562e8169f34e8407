#include "sdk/media_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "scripted_peer.h"
#include "support/media_frames.h"

namespace lumora::sdk {
namespace {

using namespace std::chrono_literals;
using protocol::Bytes;
using protocol::MediaFrame;
using testing_support::ScriptedPeer;
using testing_support::sdkErrorOf;
using testing_support::testFrame;

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

TEST_F(MediaClientTest, AbandoningTheStreamOrDisconnectingClosesTheConnection) {
  {
    auto frames = connect();
    peer_.receiveFrame();
  }
  EXPECT_TRUE(peer_.closedWithin());

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
  peer_.sendRaw(protocol::MediaFrameCodec::encode(testFrame(1, true, 10)));
  // A header length far beyond any real header: the client must not wait for 4 GiB.
  peer_.sendRaw(Bytes{0xFF, 0xFF, 0xFF, 0xFF, '{'});
  EXPECT_EQ(frames.next(), testFrame(1, true, 10));
  EXPECT_EQ(frames.next(), std::nullopt);
  EXPECT_TRUE(peer_.closedWithin());
}

}  // namespace
}  // namespace lumora::sdk
