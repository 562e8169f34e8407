#include "transport/control_server.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "protocol/frame_codec.h"
#include "support/eventually.h"
#include "support/process_table.h"
#include "support/raw_client.h"
#include "support/run_awaitable.h"

namespace lumora::transport {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using protocol::Bytes;
using protocol::Envelope;
using protocol::MessageType;
using protocol::ProtocolError;
using testing_support::RawClient;

// Acknowledges everything, except downloads, which it answers with a mebibyte each.
class AckingDispatcher : public router::RequestHandler {
 public:
  asio::awaitable<Envelope> handle(Envelope request) override {
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

TEST_F(ControlServerTest, ServesInOrderWhateverTheFramesArriveIn) {
  startServer();
  EXPECT_NE(port_, 0);
  EXPECT_EQ(server_->boundPort(), port_);
  RawClient client(port_);
  client.authenticate(secret_);

  // Three requests in one segment, then one split across two writes.
  std::vector<Envelope> pings;
  Bytes burst;
  for (int i = 0; i < 3; ++i) {
    pings.push_back(Envelope::request(protocol::PingRequest{}));
    Bytes frame = protocol::FrameCodec::encode(pings.back().encode());
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  client.sendRaw(burst);
  Envelope split = Envelope::request(protocol::PingRequest{});
  Bytes frame = protocol::FrameCodec::encode(split.encode());
  client.sendRaw(Bytes(frame.begin(), frame.begin() + 3));
  std::this_thread::sleep_for(20ms);
  client.sendRaw(Bytes(frame.begin() + 3, frame.end()));
  pings.push_back(split);

  for (const auto& ping : pings) {
    auto reply = client.receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->correlationID, ping.id);
    EXPECT_EQ(reply->payload.messageType(), MessageType::ack);
  }

  // A frame that is not an envelope is answered, and the connection carries on.
  client.sendRaw(protocol::FrameCodec::encode(protocol::asBytes("not json")));
  auto refusal = client.receive();
  ASSERT_TRUE(refusal.has_value());
  EXPECT_FALSE(refusal->correlationID.has_value());
  EXPECT_EQ(*refusal->payload.get<MessageType::error>(),
            (ProtocolError{"bad_request", "decode failed"}));
  EXPECT_EQ(client.ask(protocol::PingRequest{}).payload.messageType(), MessageType::ack);
}

TEST_F(ControlServerTest, FrameLimitsDependOnAuthentication) {
  startServer();
  RawClient stranger(port_);
  stranger.sendRaw(Bytes{0x00, 0x01, 0x00, 0x01});  // 64 KiB + 1 before authenticating
  EXPECT_TRUE(stranger.closedWithin());

  RawClient paired(port_);
  paired.authenticate(secret_);
  std::string path(200000, 'p');
  EXPECT_EQ(paired.ask(protocol::FileListRequest{path}).payload.messageType(), MessageType::ack);
}

TEST_F(ControlServerTest, PeersThatDoNotAuthenticateAreShownOut) {
  ControlServer::Limits limits;
  limits.authenticationTimeout = 300ms;
  limits.maxFailedAuthentications = 3;
  limits.proofPacing.firstPause = 10ms;  // well inside the time to authenticate
  limits.proofPacing.longestPause = 20ms;
  startServer(limits);

  RawClient slow(port_);
  EXPECT_TRUE(slow.closedWithin());

  RawClient guesser(port_);
  guesser.ask(protocol::AuthBegin{"g"});
  for (int i = 0; i < 3; ++i) {
    // Every refusal, the last included, reaches the peer before the connection goes.
    EXPECT_EQ(guesser.ask(protocol::AuthComplete{Bytes(32, 1)})
                  .payload.get<MessageType::error>()
                  ->message,
              "invalid credentials");
  }
  EXPECT_TRUE(guesser.closedWithin());
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

TEST_F(ControlServerTest, TerminalOutputWaitsForAPeerThatDoesNotRead) {
  ControlServer::Limits limits;
  limits.maxQueuedReplyBytes = 2u << 20;
  startServer(limits);
  RawClient client(port_, 16 << 10);
  client.authenticate(secret_);
  client.send(Envelope::request(protocol::TerminalOpenRequest{"/bin/sh", 80, 24}));
  std::string session;
  while (session.empty()) {
    auto event = client.receive();
    ASSERT_TRUE(event);
    if (auto* opened = event->payload.get<MessageType::terminalOpened>()) {
      session = opened->sessionId;
    }
  }
  client.send(Envelope::request(protocol::TerminalInput{session, protocol::bytesOf("exec yes\n")}));

  // The flood fills the terminal and stops there instead of in the agent's memory.
  const auto before = static_cast<long>(testing_support::residentBytes(::getpid()));
  std::this_thread::sleep_for(2s);
  EXPECT_LT(static_cast<long>(testing_support::residentBytes(::getpid())) - before, 12L << 20);

  // Reading lets it flow again.
  std::size_t received = 0;
  while (received < (4u << 20)) {
    auto event = client.receive();
    ASSERT_TRUE(event);
    if (auto* output = event->payload.get<MessageType::terminalOutput>()) {
      received += output->data.size();
    }
  }
}

TEST_F(ControlServerTest, ClosingTheConnectionEndsItsShells) {
  startServer();
  pid_t shell = 0;
  {
    RawClient client(port_);
    client.authenticate(secret_);
    client.send(Envelope::request(protocol::TerminalOpenRequest{std::nullopt, 80, 24}));
    auto opened = client.receive();
    ASSERT_TRUE(opened && opened->payload.messageType() == MessageType::terminalOpened);
    std::string id = opened->payload.get<MessageType::terminalOpened>()->sessionId;
    client.send(Envelope::request(protocol::TerminalInput{id, protocol::bytesOf("echo pid=$$\n")}));
    // The terminal echoes the typed line too; only the shell's answer has digits after "pid=".
    std::string output;
    std::smatch match;
    const std::regex answer(R"(pid=(\d+)\r?\n)");
    while (!std::regex_search(output, match, answer)) {
      auto event = client.receive();
      ASSERT_TRUE(event.has_value());
      if (const auto* out = event->payload.get<MessageType::terminalOutput>()) {
        output.append(out->data.begin(), out->data.end());
      }
    }
    shell = std::stoi(match[1].str());
    ASSERT_EQ(::kill(shell, 0), 0);
  }
  EXPECT_TRUE(testing_support::eventually([&] { return testing_support::processEnded(shell); }));
}

}  // namespace
}  // namespace lumora::transport
