#include "transport/control_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "protocol/frame_codec.h"
#include "support/raw_client.h"
#include "support/run_awaitable.h"

namespace lumora::transport {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using protocol::Bytes;
using protocol::Envelope;
using protocol::MessageType;
using testing_support::RawClient;

// Acknowledges everything, except downloads, which it answers with a mebibyte each.
class AckingDispatcher : public router::RequestHandler {
 public:
  asio::awaitable<Envelope> handle(Envelope request, core::PeerID) override {
    ++handled;
    if (request.payload.messageType() == MessageType::fileDownload) {
      protocol::FileDownloadResult chunk;
      chunk.data.assign(1u << 20, 0x5a);
      co_return Envelope::response(request.id, chunk);
    }
    co_return Envelope::response(request.id, protocol::Ack{});
  }
  std::atomic<int> handled{0};
};

class ControlServerTest : public ::testing::Test {
 protected:
  void startServer(ControlServer::Limits limits = {}) {
    ConnectionContext::Dependencies dependencies;
    dependencies.dispatcher = &dispatcher_;
    dependencies.authenticator = Authenticator{secret_};
    dependencies.mediaTickets = std::make_shared<MediaTicketStore>(30s);
    dependencies.terminalExecutor = io_.executor();
    dependencies.defaultShell = [] { return std::string("/bin/sh"); };
    server_ = std::make_unique<ControlServer>(io_.executor(), std::move(dependencies), limits);
    port_ = io_.run(server_->start(0, {"127.0.0.1"}));
  }

  void TearDown() override {
    if (server_) io_.run(stop());
  }

  asio::awaitable<void> stop() {
    server_->stop();
    co_return;
  }

  AckingDispatcher dispatcher_;
  protocol::PairingSecret secret_ = protocol::PairingSecret::generate();
  std::unique_ptr<ControlServer> server_;
  std::uint16_t port_ = 0;
  // Last, so its thread is joined before the server goes.
  testing_support::ThreadedIo io_;
};

// A paired peer's larger frames are the lumora program's uploads: cli_e2e_test's
// PutAndGetKeepEveryByteOfALargeFile sends them 1 MiB at a time.
TEST_F(ControlServerTest, AStrangersLargeFrameEndsItsConnection) {
  startServer();
  RawClient stranger(port_);
  stranger.sendRaw(Bytes{0x00, 0x01, 0x00, 0x01});  // 64 KiB + 1 before authenticating
  EXPECT_TRUE(stranger.closedWithin());
}

TEST_F(ControlServerTest, APeerThatDoesNotAuthenticateInTimeIsShownOut) {
  ControlServer::Limits limits;
  limits.authenticationTimeout = 300ms;
  startServer(limits);
  RawClient slow(port_);
  EXPECT_TRUE(slow.closedWithin());
}

TEST_F(ControlServerTest, TheOldestWaitingConnectionMakesRoomForANewOne) {
  ControlServer::Limits limits;
  limits.maxUnauthenticatedConnections = 2;
  startServer(limits);

  // A paired connection never counts against the waiting ones.
  RawClient paired(port_);
  paired.authenticate(secret_);
  RawClient first(port_);
  EXPECT_EQ(first.ask(protocol::AuthBegin{"1"}).payload.messageType(), MessageType::authChallenge);
  RawClient second(port_);
  EXPECT_EQ(second.ask(protocol::AuthBegin{"2"}).payload.messageType(), MessageType::authChallenge);
  RawClient third(port_);
  EXPECT_TRUE(first.closedWithin());
  EXPECT_EQ(third.ask(protocol::AuthBegin{"3"}).payload.messageType(), MessageType::authChallenge);
  EXPECT_EQ(second.ask(protocol::AuthBegin{"2"}).payload.messageType(), MessageType::authChallenge);
  EXPECT_EQ(paired.ask(protocol::PingRequest{}).payload.messageType(), MessageType::ack);
}

TEST_F(ControlServerTest, APeerThatDoesNotReadIsNotAnsweredWithoutBound) {
  ControlServer::Limits limits;
  limits.maxQueuedReplyBytes = 4u << 20;
  startServer(limits);
  RawClient client(port_, 16 << 10);
  client.authenticate(secret_);
  const int handledBefore = dispatcher_.handled.load();

  constexpr int kRequests = 100;  // 100 MiB of replies, were they all produced
  std::vector<Envelope> requests;
  protocol::Bytes pipelined;
  for (int i = 0; i < kRequests; ++i) {
    requests.push_back(Envelope::request(protocol::FileDownloadRequest{"/big", i, 1 << 20}));
    auto frame = protocol::FrameCodec::encode(requests.back().encode());
    pipelined.insert(pipelined.end(), frame.begin(), frame.end());
  }
  std::thread writer([&] { client.sendRaw(pipelined); });
  // Wait until the agent stops answering (or has answered everything).
  int handled = -1;
  for (int quiet = 0; quiet < 5 && handled < kRequests;) {
    std::this_thread::sleep_for(100ms);
    const int now = dispatcher_.handled.load() - handledBefore;
    quiet = now == handled ? quiet + 1 : 0;
    handled = now;
  }
  // Socket buffers hold a few replies beyond the limit; nowhere near all of them.
  EXPECT_LT(handled, 30);

  // Once the peer reads, every reply arrives, in order.
  for (const Envelope& request : requests) {
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->correlationID, request.id);
  }
  writer.join();
  EXPECT_EQ(dispatcher_.handled.load() - handledBefore, kRequests);
}

}  // namespace
}  // namespace lumora::transport
