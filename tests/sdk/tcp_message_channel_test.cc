#include "sdk/tcp_message_channel.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "scripted_peer.h"

namespace lumora::sdk {
namespace {

using namespace std::chrono_literals;
using protocol::Bytes;
using testing_support::connectChannel;
using testing_support::receiveOn;
using testing_support::ScriptedPeer;
using testing_support::sdkErrorOf;
using testing_support::sendOn;

class TCPMessageChannelTest : public ::testing::Test {
 protected:
  void connect() {
    auto connected = connectChannel(channel_);
    peer_.accept();
    connected.get();
  }

  ScriptedPeer peer_;
  TCPMessageChannel channel_{"127.0.0.1", peer_.port()};
};

TEST_F(TCPMessageChannelTest, OverlappingSendsArriveInOrderAndWhole) {
  connect();
  // Overlapping writes on one socket would interleave; each frame must arrive intact.
  std::vector<std::future<void>> sends;
  for (int i = 0; i < 50; ++i) {
    sends.push_back(sendOn(channel_, Bytes(100000, static_cast<std::uint8_t>(i))));
  }
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(peer_.receiveFrame(), Bytes(100000, static_cast<std::uint8_t>(i)));
  }
  for (auto& send : sends) send.get();
}

// An end of stream, a close and a reconnect, as the client library sees them, are
// agent_control_client_test's.
TEST_F(TCPMessageChannelTest, AnOversizedFrameClosesTheChannel) {
  connect();
  auto waiting = receiveOn(channel_);
  // A length prefix of almost 4 GiB: the channel must give up instead of buffering toward it.
  peer_.sendRaw(Bytes{0xFF, 0xFF, 0xFF, 0xF0, 1, 2, 3});
  EXPECT_EQ(sdkErrorOf(waiting).kind(), SDKError::Kind::disconnected);
  EXPECT_TRUE(peer_.closedWithin());
}

// A listener whose accept queue is full: the kernel drops further connection attempts, so a
// connect neither succeeds nor fails.
struct SilentListener : ScriptedPeer {
  SilentListener() {
    for (auto& filler : fillers) {  // never accepted
      filler.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
      ::connect(filler.get(), address(), sizeof(sockaddr_in));
    }
    std::this_thread::sleep_for(100ms);
  }
  std::array<platform::linux_os::UniqueFd, 4> fillers;
};

TEST(TCPMessageChannelConnectTest, SilentPeerTimesOutWithTheLimitInWholeSeconds) {
  SilentListener silent;
  TCPMessageChannel channel("127.0.0.1", silent.port(), std::chrono::milliseconds(1500));
  auto started = std::chrono::steady_clock::now();
  SDKError error = sdkErrorOf(connectChannel(channel));
  EXPECT_EQ(error.kind(), SDKError::Kind::connectionFailed);
  EXPECT_EQ(error.reason(), "connect timed out after 1s");
  EXPECT_GE(std::chrono::steady_clock::now() - started, 1400ms);
}

}  // namespace
}  // namespace lumora::sdk
