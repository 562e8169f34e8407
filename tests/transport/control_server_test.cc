#include "transport/control_server.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <atomic>
#include <fstream>
#include <regex>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>
#include "protocol/auth_crypto.h"
#include "protocol/frame_codec.h"
#include "support/raw_client.h"

namespace lumora::transport {
namespace {

using testing_support::RawClient;

namespace asio = boost::asio;
using namespace std::chrono_literals;
using asio::ip::tcp;
using protocol::Bytes;
using protocol::Envelope;
using protocol::MessageType;
using protocol::ProtocolError;

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
    dependencies.terminalExecutor = io_.get_executor();
    dependencies.defaultShell = [] { return std::string("/bin/sh"); };
    server_ = std::make_unique<ControlServer>(io_.get_executor(), std::move(dependencies), limits);
    thread_ = std::thread([this] { io_.run(); });
    port_ = asio::co_spawn(io_, server_->start(0, {"127.0.0.1"}), asio::use_future).get();
  }

  void TearDown() override {
    if (server_) asio::post(io_, [this] { server_->stop(); });
    work_.reset();
    if (thread_.joinable()) thread_.join();
  }

  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_{
      io_.get_executor()};
  std::thread thread_;
  AckingDispatcher dispatcher_;
  protocol::PairingSecret secret_ = protocol::PairingSecret::generate();
  std::unique_ptr<ControlServer> server_;
  std::uint16_t port_ = 0;
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
  stranger.sendRaw({0x00, 0x01, 0x00, 0x01});  // 64 KiB + 1 before authenticating
  EXPECT_TRUE(stranger.closedByAgent());

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
  EXPECT_TRUE(slow.closedByAgent());

  RawClient guesser(port_);
  guesser.ask(protocol::AuthBegin{"g"});
  for (int i = 0; i < 3; ++i) {
    // Every refusal, the last included, reaches the peer before the connection goes.
    EXPECT_EQ(guesser.ask(protocol::AuthComplete{Bytes(32, 1)})
                  .payload.get<MessageType::error>()
                  ->message,
              "invalid credentials");
  }
  EXPECT_TRUE(guesser.closedByAgent());
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
  EXPECT_TRUE(first.closedByAgent());
  EXPECT_EQ(third.ask(protocol::AuthBegin{"3"}).payload.messageType(), MessageType::authChallenge);
  EXPECT_EQ(second.ask(protocol::AuthBegin{"2"}).payload.messageType(), MessageType::authChallenge);
  EXPECT_EQ(paired.ask(protocol::PingRequest{}).payload.messageType(), MessageType::ack);
}

TEST_F(ControlServerTest, APeerThatDoesNotReadIsNotAnsweredWithoutBound) {
  ControlServer::Limits limits;
  limits.maxQueuedReplyBytes = 4u << 20;
  startServer(limits);
  RawClient client(port_, /*receiveBuffer=*/16 << 10);
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

std::size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

TEST_F(ControlServerTest, TerminalOutputWaitsForAPeerThatDoesNotRead) {
  ControlServer::Limits limits;
  limits.maxQueuedReplyBytes = 2u << 20;
  startServer(limits);
  RawClient client(port_, /*receiveBuffer=*/16 << 10);
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
  const auto before = static_cast<long>(residentBytes());
  std::this_thread::sleep_for(2s);
  EXPECT_LT(static_cast<long>(residentBytes()) - before, 12L << 20);

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
  bool ended = false;
  for (int i = 0; i < 500 && !ended; ++i) {
    std::ifstream stat("/proc/" + std::to_string(shell) + "/stat");
    std::string line;
    ended = !std::getline(stat, line) || line.find(") Z") != std::string::npos;
    if (!ended) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace lumora::transport
