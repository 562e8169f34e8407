#include "transport/media_server.h"

#include <gtest/gtest.h>

#include <atomic>

#include "support/eventually.h"
#include "support/media_frames.h"
#include "support/raw_client.h"
#include "support/run_awaitable.h"
#include "transport/ticket_frame.h"

namespace lumora::transport {
namespace {

using namespace std::chrono_literals;
using protocol::Bytes;
using testing_support::eventually;
using testing_support::RawClient;
using testing_support::testFrame;

class MediaServerTest : public ::testing::Test {
 protected:
  void startServer(std::chrono::milliseconds ticketTimeout = 5s, MediaServer::Limits limits = {}) {
    tickets_ = std::make_shared<MediaTicketStore>(30s);
    server_ = std::make_unique<MediaServer>(io_.executor(), tickets_, ticketTimeout, limits);
    server_->setKeyFrameRequester([this] { ++keyFrameRequests_; });
    server_->setOnReceiverCountChanged([this](std::size_t count) { lastCount_ = count; });
    port_ = io_.run(server_->start(0, {"127.0.0.1"}));
  }

  void TearDown() override {
    if (server_) io_.run(stop());
  }

  boost::asio::awaitable<void> stop() {
    server_->stop();
    co_return;
  }

  std::unique_ptr<RawClient> admittedClient(int receiveBuffer = 0) {
    const std::size_t before = server_->connectionCount();
    auto client = std::make_unique<RawClient>(port_, receiveBuffer);
    client->sendTicket(tickets_->issue());
    EXPECT_TRUE(eventually([&] { return server_->connectionCount() == before + 1; }));
    return client;
  }

  std::shared_ptr<MediaTicketStore> tickets_;
  std::unique_ptr<MediaServer> server_;
  std::uint16_t port_ = 0;
  std::atomic<int> keyFrameRequests_{0};
  std::atomic<std::size_t> lastCount_{0};
  // Last, so its thread is joined before the server goes.
  testing_support::ThreadedIo io_;
};

TEST(TicketFrameTest, ParsesOnlyCompleteWellFormedFrames) {
  using namespace TicketFrame;
  const Bytes good = encode("abc");
  EXPECT_EQ(good, (Bytes{0, 0, 0, 3, 'a', 'b', 'c'}));
  EXPECT_EQ(std::get<std::string>(parse(good)), "abc");
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    EXPECT_TRUE(std::holds_alternative<NeedMore>(parse(protocol::ByteView(good).first(cut))));
  }

  // Bad lengths are refused from their four bytes alone.
  EXPECT_TRUE(std::holds_alternative<Malformed>(parse(Bytes{0, 0, 0, 0})));
  EXPECT_TRUE(std::holds_alternative<Malformed>(parse(Bytes{0, 0, 4, 1})));
  Bytes longest{0, 0, 4, 0};
  longest.resize(4 + 1024, 'x');
  EXPECT_EQ(std::get<std::string>(parse(longest)).size(), 1024u);

  Bytes notText{0, 0, 0, 64};
  notText.resize(4 + 64, 0xc3);
  EXPECT_TRUE(std::holds_alternative<Malformed>(parse(notText)));
}

// Which tickets admit is the ticket store's, and a refused one is seen end to end
// (relay_e2e_test's stream case); here, what the admitted receivers get.
TEST_F(MediaServerTest, EveryReceiverStartsAtAKeyFrameAndGetsTheSameFrames) {
  startServer();
  auto a = admittedClient();
  server_->broadcast(testFrame(0, true));
  server_->broadcast(testFrame(1, false));
  auto b = admittedClient();
  EXPECT_EQ(lastCount_.load(), 2u);
  server_->broadcast(testFrame(2, false));  // b cannot decode this yet
  server_->broadcast(testFrame(3, true));
  server_->broadcast(testFrame(4, false));

  for (std::uint64_t id = 0; id < 5; ++id) {
    auto received = a->nextFrame();
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, testFrame(id, id == 0 || id == 3));
  }
  for (std::uint64_t id : {3, 4}) {
    auto received = b->nextFrame();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->meta.frameID, id);
  }
}

// What a stalled receiver then gets, and what it costs, is seen end to end
// (slow_media_receiver_test); here, that falling behind asks the encoder for a key frame at once
// rather than leaving the receiver to wait for the next scheduled one.
TEST_F(MediaServerTest, AReceiverThatFallsBehindAsksForAKeyFrameWithoutHoldingUpTheOthers) {
  startServer(5s, {.maxQueuedFrames = 4, .maxQueuedBytes = 1u << 20});
  auto fast = admittedClient();
  auto slow = admittedClient(/*receiveBuffer=*/4096);

  // The fast one takes each frame before the next is sent, however loaded the machine is; the
  // slow one reads nothing meanwhile.
  constexpr int kFrames = 200;
  const int requestsBefore = keyFrameRequests_.load();
  for (std::uint64_t id = 0; id < kFrames; ++id) {
    server_->broadcast(testFrame(id, id % 50 == 0, 64 << 10));
    auto received = fast->nextFrame();
    ASSERT_TRUE(received) << "the fast receiver lost frame " << id;
    ASSERT_EQ(received->meta.frameID, id);
  }
  EXPECT_GT(keyFrameRequests_.load(), requestsBefore) << "falling behind asks for a key frame";
}

TEST_F(MediaServerTest, StopClosesEveryConnection) {
  startServer();
  auto receiver = admittedClient();
  RawClient waiting(port_);
  io_.run(stop());
  EXPECT_EQ(lastCount_.load(), 0u);
  EXPECT_TRUE(receiver->closedWithin());
  EXPECT_TRUE(waiting.closedWithin());
}

TEST_F(MediaServerTest, AReceiverThatHangsUpIsForgotten) {
  startServer();
  auto receiver = admittedClient();
  receiver.reset();
  EXPECT_TRUE(eventually([&] { return server_->connectionCount() == 0; }));
  EXPECT_EQ(lastCount_.load(), 0u);
}

}  // namespace
}  // namespace lumora::transport
