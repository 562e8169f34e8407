#include "transport/connection_context.h"

#include <gtest/gtest.h>

#include <chrono>

#include "protocol/auth_crypto.h"
#include "support/recorder.h"
#include "support/run_awaitable.h"

namespace lumora::transport {
namespace {

using namespace std::chrono_literals;
using protocol::Envelope;
using protocol::MessageType;
using protocol::Payload;
using protocol::ProtocolError;

// Answers every request with an ack and remembers what reached it.
class FakeDispatcher : public router::RequestHandler {
 public:
  boost::asio::awaitable<Envelope> handle(Envelope request, core::PeerID) override {
    handled.push_back(request.payload.messageType());
    co_return Envelope::response(request.id, protocol::Ack{});
  }
  std::vector<MessageType> handled;
};

class ConnectionContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConnectionContext::Dependencies dependencies;
    dependencies.dispatcher = &dispatcher_;
    dependencies.authenticator = Authenticator{secret_};
    dependencies.mediaTickets = std::make_shared<MediaTicketStore>(30s);
    dependencies.terminalExecutor = io_.get_executor();
    dependencies.defaultShell = [] { return std::string("/bin/sh"); };
    context_ = ConnectionContext::create(std::move(dependencies), outbound_.sink());
  }
  void TearDown() override { context_.reset(); }

  std::optional<Envelope> send(const Envelope& request) {
    return testing_support::runAwaitable(io_, context_->process(request.encode()));
  }

  // Sends `payload` and returns the reply, which must be correlated to the request.
  Envelope ask(Payload payload) {
    Envelope request = Envelope::request(std::move(payload));
    auto reply = send(request);
    EXPECT_TRUE(reply.has_value());
    if (!reply) return Envelope{};
    EXPECT_EQ(reply->correlationID, request.id);
    return *reply;
  }

  static ProtocolError errorOf(const Envelope& reply) {
    const auto* error = reply.payload.get<MessageType::error>();
    return error ? *error : ProtocolError{"(not an error)", ""};
  }

  boost::asio::io_context io_;
  protocol::PairingSecret secret_ = protocol::PairingSecret::generate();
  FakeDispatcher dispatcher_;
  std::shared_ptr<ConnectionContext> context_;
  testing_support::Recorder<Envelope> outbound_;
};

TEST_F(ConnectionContextTest, NothingButTheHandshakeIsServedBeforeAuthentication) {
  for (Payload payload :
       {Payload(protocol::PingRequest{}), Payload(protocol::MediaTicketRequest{}),
        Payload(protocol::TerminalOpenRequest{std::nullopt, 80, 24}),
        Payload(protocol::TerminalInput{"S", {1}}), Payload(protocol::FileListRequest{"/"})}) {
    EXPECT_EQ(errorOf(ask(payload)), (ProtocolError{"unauthorized", "authentication required"}));
  }
  // Server-only types are refused before the authentication test.
  EXPECT_EQ(errorOf(ask(protocol::TerminalOutput{"S", {}})),
            (ProtocolError{"unexpected_message", "server-only event"}));
  EXPECT_TRUE(dispatcher_.handled.empty());
  EXPECT_FALSE(context_->authenticated());
}

TEST_F(ConnectionContextTest, HandshakeChecksTheProofAgainstTheLatestNonce) {
  EXPECT_EQ(errorOf(ask(protocol::AuthComplete{protocol::Bytes(32)})),
            (ProtocolError{"unauthorized", "no challenge issued"}));

  Envelope first = ask(protocol::AuthBegin{"phone"});
  Envelope second = ask(protocol::AuthBegin{"phone"});
  const auto& oldNonce = first.payload.get<MessageType::authChallenge>()->nonce;
  const auto& nonce = second.payload.get<MessageType::authChallenge>()->nonce;
  EXPECT_NE(oldNonce, nonce);

  EXPECT_EQ(errorOf(ask(protocol::AuthComplete{protocol::AuthCrypto::mac(secret_.data, oldNonce)})),
            (ProtocolError{"unauthorized", "invalid credentials"}));
  EXPECT_EQ(errorOf(ask(protocol::AuthComplete{
                protocol::AuthCrypto::mac(protocol::PairingSecret::generate().data, nonce)})),
            (ProtocolError{"unauthorized", "invalid credentials"}));
  EXPECT_EQ(context_->failedAuthentications(), 2);
  EXPECT_FALSE(context_->authenticated());

  auto proof = protocol::AuthCrypto::mac(secret_.data, nonce);
  EXPECT_EQ(ask(protocol::AuthComplete{proof}).payload.messageType(), MessageType::ack);
  EXPECT_EQ(ask(protocol::AuthComplete{proof}).payload.messageType(), MessageType::ack);
  EXPECT_TRUE(context_->authenticated());

  EXPECT_EQ(ask(protocol::PingRequest{}).payload.messageType(), MessageType::ack);
  EXPECT_EQ(dispatcher_.handled, std::vector<MessageType>{MessageType::ping});

  // A session nobody opened is not served: a resize goes nowhere, a close is acknowledged.
  EXPECT_FALSE(send(Envelope::request(protocol::TerminalResize{"nope", 1, 1})).has_value());
  EXPECT_EQ(ask(protocol::TerminalCloseRequest{"nope"}).payload.messageType(), MessageType::ack);
  EXPECT_EQ(context_->sessionCount(), 0u);
}

}  // namespace
}  // namespace lumora::transport
