#include "transport/media_server.h"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>

#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "transport/ticket_frame.h"

namespace lumora::transport {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using asio::ip::tcp;
using protocol::Bytes;

// Waits until `condition` holds, for at most five seconds.
template <class Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

protocol::MediaFrame frame(std::uint64_t id, bool key, std::size_t payloadBytes = 16) {
  protocol::MediaFrame f;
  f.meta.frameID = id;
  f.meta.width = 64;
  f.meta.height = 32;
  f.meta.codec = protocol::VideoCodec::h264;
  f.meta.isKeyframe = key;
  f.meta.byteCount = static_cast<std::int64_t>(payloadBytes);
  f.meta.presentationTimeMillis = id * 33;
  f.payload.assign(payloadBytes, static_cast<std::uint8_t>(id));
  return f;
}

// A blocking media client: connects, may send bytes, reads frames back.
class MediaTestClient {
 public:
  explicit MediaTestClient(std::uint16_t port, int receiveBuffer = 0) : socket_(io_) {
    socket_.open(tcp::v4());
    if (receiveBuffer > 0) socket_.set_option(tcp::socket::receive_buffer_size(receiveBuffer));
    socket_.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    struct timeval timeout {10, 0};
    setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }

  void send(const Bytes& bytes) { asio::write(socket_, asio::buffer(bytes)); }
  void sendTicket(const std::string& ticket) { send(TicketFrame::encode(ticket)); }

  // True when the server closed the connection (nothing but end of stream arrives).
  bool closedByServer() {
    std::uint8_t byte = 0;
    boost::system::error_code ec;
    socket_.read_some(asio::buffer(&byte, 1), ec);
    return ec == asio::error::eof || ec == asio::error::connection_reset;
  }

  // The next frame, or none when the connection ended or timed out.
  std::optional<protocol::MediaFrame> nextFrame() {
    std::array<std::uint8_t, 65536> chunk{};
    while (pending_.empty()) {
      // Plain recv honours the socket's time-out; Asio's blocking read would wait for ever.
      const ssize_t n = ::recv(socket_.native_handle(), chunk.data(), chunk.size(), 0);
      if (n <= 0) return std::nullopt;
      for (auto& f : decoder_.push(protocol::ByteView(chunk.data(), static_cast<std::size_t>(n)))) {
        pending_.push_back(f);
      }
    }
    auto f = pending_.front();
    pending_.erase(pending_.begin());
    return f;
  }

 private:
  asio::io_context io_;
  tcp::socket socket_;
  protocol::MediaFrameDecoder decoder_;
  std::vector<protocol::MediaFrame> pending_;
};

class MediaServerTest : public ::testing::Test {
 protected:
  void startServer(std::chrono::milliseconds ticketTimeout = 5s, MediaServer::Limits limits = {}) {
    tickets_ = std::make_shared<MediaTicketStore>(30s, [this] { return now_.load(); });
    server_ = std::make_unique<MediaServer>(io_.get_executor(), tickets_, ticketTimeout, limits);
    server_->setKeyFrameRequester([this] { ++keyFrameRequests_; });
    server_->setOnReceiverCountChanged([this](std::size_t count) { lastCount_ = count; });
    thread_ = std::thread([this] { io_.run(); });
    port_ = asio::co_spawn(io_, server_->start(0, {"127.0.0.1"}), asio::use_future).get();
  }

  void TearDown() override {
    if (server_) asio::post(io_, [this] { server_->stop(); });
    work_.reset();
    if (thread_.joinable()) thread_.join();
  }

  std::unique_ptr<MediaTestClient> admittedClient(int receiveBuffer = 0) {
    const std::size_t before = server_->connectionCount();
    auto client = std::make_unique<MediaTestClient>(port_, receiveBuffer);
    client->sendTicket(tickets_->issue());
    EXPECT_TRUE(eventually([&] { return server_->connectionCount() == before + 1; }));
    return client;
  }

  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_{
      io_.get_executor()};
  std::thread thread_;
  std::atomic<std::chrono::system_clock::time_point> now_{std::chrono::system_clock::now()};
  std::shared_ptr<MediaTicketStore> tickets_;
  std::unique_ptr<MediaServer> server_;
  std::uint16_t port_ = 0;
  std::atomic<int> keyFrameRequests_{0};
  std::atomic<std::size_t> lastCount_{0};
};

TEST(TicketFrameTest, ParsesOnlyCompleteWellFormedFrames) {
  using namespace TicketFrame;
  const Bytes good = encode("abc");
  EXPECT_EQ(good, (Bytes{0, 0, 0, 3, 'a', 'b', 'c'}));
  EXPECT_EQ(std::get<std::string>(parse(good)), "abc");
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    EXPECT_TRUE(std::holds_alternative<NeedMore>(parse(protocol::ByteView(good).first(cut))));
  }
  Bytes trailing = good;
  trailing.insert(trailing.end(), {0xff, 0xfe});
  EXPECT_EQ(std::get<std::string>(parse(trailing)), "abc");

  // Bad lengths are refused from their four bytes alone.
  EXPECT_TRUE(std::holds_alternative<Malformed>(parse(Bytes{0, 0, 0, 0})));
  EXPECT_TRUE(std::holds_alternative<Malformed>(parse(Bytes{0, 0, 4, 1})));
  EXPECT_TRUE(std::holds_alternative<Malformed>(parse(Bytes{0xff, 0xff, 0xff, 0xff})));
  Bytes longest{0, 0, 4, 0};
  longest.resize(4 + 1024, 'x');
  EXPECT_EQ(std::get<std::string>(parse(longest)).size(), 1024u);

  Bytes notText{0, 0, 0, 64};
  notText.resize(4 + 64, 0xc3);
  EXPECT_TRUE(std::holds_alternative<Malformed>(parse(notText)));
}

TEST_F(MediaServerTest, AdmitsALiveTicketOnceAndRejectsTheRest) {
  startServer();
  const std::string ticket = tickets_->issue();
  MediaTestClient first(port_);
  // One byte at a time, then junk after the frame, which is never looked at.
  for (std::uint8_t byte : TicketFrame::encode(ticket)) first.send(Bytes{byte});
  first.send(Bytes{0, 0, 0, 0, 1, 2, 3});
  ASSERT_TRUE(eventually([&] { return server_->connectionCount() == 1; }));
  EXPECT_EQ(lastCount_.load(), 1u);
  EXPECT_GE(keyFrameRequests_.load(), 1) << "a new receiver asks for a key frame";

  testing::internal::CaptureStdout();
  MediaTestClient reuse(port_);
  reuse.sendTicket(ticket);
  EXPECT_TRUE(reuse.closedByServer());
  MediaTestClient neverIssued(port_);
  neverIssued.sendTicket(std::string(64, 'a'));
  EXPECT_TRUE(neverIssued.closedByServer());
  const std::string expiring = tickets_->issue();
  now_ = now_.load() + 31s;
  MediaTestClient late(port_);
  late.sendTicket(expiring);
  EXPECT_TRUE(late.closedByServer());
  const std::string output = testing::internal::GetCapturedStdout();

  std::size_t rejections = 0;
  for (auto at = output.find("media connection rejected: invalid/expired ticket");
       at != std::string::npos;
       at = output.find("media connection rejected: invalid/expired ticket", at + 1)) {
    ++rejections;
  }
  EXPECT_EQ(rejections, 3u) << output;
  EXPECT_EQ(server_->connectionCount(), 1u);
}

TEST_F(MediaServerTest, RejectsMalformedFramesAtOnceAndSilentPeersAfterTheTimeout) {
  startServer(300ms);
  testing::internal::CaptureStdout();
  const auto started = std::chrono::steady_clock::now();
  MediaTestClient zero(port_);
  zero.send(Bytes{0, 0, 0, 0});
  EXPECT_TRUE(zero.closedByServer());
  MediaTestClient tooLong(port_);
  tooLong.send(Bytes{0, 0, 4, 1});
  EXPECT_TRUE(tooLong.closedByServer());
  MediaTestClient notText(port_);
  Bytes invalid{0, 0, 0, 64};
  invalid.resize(4 + 64, 0xff);
  notText.send(invalid);
  EXPECT_TRUE(notText.closedByServer());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 300ms) << "malformed frames wait for nothing";

  MediaTestClient silent(port_);
  silent.send(Bytes{0, 0});  // half a length, then nothing
  EXPECT_TRUE(silent.closedByServer());
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_NE(output.find("media connection rejected: malformed ticket frame"), std::string::npos);
  EXPECT_NE(output.find("media connection rejected: ticket timeout"), std::string::npos);
  EXPECT_EQ(server_->connectionCount(), 0u);
}

TEST_F(MediaServerTest, APeerThatHangsUpBeforeItsTicketLeavesQuietly) {
  startServer();
  testing::internal::CaptureStdout();
  {
    MediaTestClient gone(port_);
    gone.send(Bytes{0, 0, 0, 64, 'x'});
  }
  MediaTestClient admitted(port_);
  admitted.sendTicket(tickets_->issue());
  ASSERT_TRUE(eventually([&] { return server_->connectionCount() == 1; }));
  EXPECT_EQ(testing::internal::GetCapturedStdout().find("rejected"), std::string::npos);
}

TEST_F(MediaServerTest, EveryReceiverStartsAtAKeyFrameAndGetsTheSameFrames) {
  startServer();
  auto a = admittedClient();
  server_->broadcast(frame(0, true));
  server_->broadcast(frame(1, false));
  auto b = admittedClient();
  server_->broadcast(frame(2, false));  // b cannot decode this yet
  server_->broadcast(frame(3, true));
  server_->broadcast(frame(4, false));

  for (std::uint64_t id = 0; id < 5; ++id) {
    auto received = a->nextFrame();
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, frame(id, id == 0 || id == 3));
  }
  for (std::uint64_t id : {3, 4}) {
    auto received = b->nextFrame();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->meta.frameID, id);
  }
}

TEST_F(MediaServerTest, ASlowReceiverSkipsToAKeyFrameWithoutHoldingUpTheOthers) {
  MediaServer::Limits limits;
  limits.maxQueuedFrames = 4;
  limits.maxQueuedBytes = 1u << 20;
  startServer(5s, limits);
  auto fast = admittedClient();
  auto slow = admittedClient(/*receiveBuffer=*/4096);

  // The fast one takes each frame before the next is sent, however loaded the machine is; the
  // slow one reads nothing meanwhile.
  constexpr int kFrames = 200;
  const int requestsBefore = keyFrameRequests_.load();
  for (std::uint64_t id = 0; id < kFrames; ++id) {
    server_->broadcast(frame(id, id % 50 == 0, 64 << 10));
    auto received = fast->nextFrame();
    ASSERT_TRUE(received) << "the fast receiver lost frame " << id;
    ASSERT_EQ(received->meta.frameID, id);
  }
  EXPECT_GT(keyFrameRequests_.load(), requestsBefore) << "falling behind asks for a key frame";

  // Now the slow one reads: it got a prefix, and after every gap it resumes at a key frame.
  server_->broadcast(frame(kFrames, true, 64 << 10));
  std::vector<protocol::MediaFrame> slowFrames;
  while (slowFrames.empty() || slowFrames.back().meta.frameID != kFrames) {
    auto f = slow->nextFrame();
    ASSERT_TRUE(f);
    slowFrames.push_back(*f);
  }
  EXPECT_LT(slowFrames.size(), std::size_t{kFrames});
  EXPECT_TRUE(slowFrames.front().meta.isKeyframe);
  for (std::size_t i = 1; i < slowFrames.size(); ++i) {
    const bool gap = slowFrames[i].meta.frameID != slowFrames[i - 1].meta.frameID + 1;
    if (gap) {
      EXPECT_TRUE(slowFrames[i].meta.isKeyframe) << "frame " << slowFrames[i].meta.frameID;
    }
  }
}

TEST_F(MediaServerTest, StopClosesEveryConnectionAndForgetsThePort) {
  startServer();
  auto receiver = admittedClient();
  MediaTestClient waiting(port_);
  asio::co_spawn(io_, [this]() -> asio::awaitable<void> {
    server_->stop();
    co_return;
  }, asio::use_future).get();
  EXPECT_EQ(server_->connectionCount(), 0u);
  EXPECT_EQ(server_->boundPort(), 0);
  EXPECT_EQ(lastCount_.load(), 0u);
  EXPECT_TRUE(receiver->closedByServer());
  EXPECT_TRUE(waiting.closedByServer());
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
