// The relay channel against the real relay of the account service on loopback: the phone's side
// is the channel, the agent's side a plain WebSocket client holding the room's host slot that
// plays the agent's part of the relay handshake (or an impostor's).

#include <gtest/gtest.h>

#include <future>

#include "account/service_harness.h"
#include "protocol/relay_cipher.h"
#include "sdk/relay/relay_message_channel.h"
#include "sdk/sdk_error.h"

namespace lumora::sdk {
namespace {

using account::testing::LocalhostCertificate;
using account::testing::RelayClient;
using account::testing::ServiceUnderTest;
using protocol::Bytes;
using protocol::RelayChannel;

const protocol::PairingSecret kSecret = protocol::PairingSecret::generate();
const protocol::RoomKey kKey = protocol::RoomKey::derive(kSecret);
const std::string kRoom = kKey.fingerprint();

std::exception_ptr connected(MessageChannel& channel) {
  std::promise<std::exception_ptr> done;
  channel.connect([&](std::exception_ptr error) { done.set_value(error); });
  return done.get_future().get();
}

std::exception_ptr sent(MessageChannel& channel, const std::string& text) {
  std::promise<std::exception_ptr> done;
  channel.send(protocol::bytesOf(text), [&](std::exception_ptr error) { done.set_value(error); });
  return done.get_future().get();
}

struct Received {
  std::string message;
  std::exception_ptr error;
};

std::future<Received> receiving(MessageChannel& channel) {
  auto done = std::make_shared<std::promise<Received>>();
  channel.receive([done](Bytes message, std::exception_ptr error) {
    done->set_value({std::string(protocol::asText(message)), error});
  });
  return done->get_future();
}

std::optional<SDKError::Kind> kindOf(const std::exception_ptr& error) {
  auto sdkError = sdkErrorOf(error);
  return sdkError ? std::optional(sdkError->kind()) : std::nullopt;
}

std::string reasonOf(const std::exception_ptr& error) {
  auto sdkError = sdkErrorOf(error);
  return sdkError ? sdkError->reason() : "(no SDKError)";
}

// The agent's end of a control room, by hand: it hosts the room and answers the phone's hello
// with a challenge made from `secret` (the pairing's, or an impostor's).
class AgentSide {
 public:
  AgentSide(const std::string& serviceUrl, const protocol::PairingSecret& secret)
      : socket_(RelayClient::host(serviceUrl, kRoom, kKey)),
        handshake_(secret, RelayChannel::control) {}

  // Reads the relay's notice and the phone's hello, and answers it.
  void challenge() {
    auto notice = socket_->receive();
    ASSERT_TRUE(notice && !notice->binary);
    auto hello = socket_->receive();
    ASSERT_TRUE(hello && hello->binary);
    auto answer = handshake_.challenge(protocol::asBytes(hello->data));
    ASSERT_TRUE(answer);
    socket_->sendBinary(std::string(protocol::asText(*answer)));
  }
  // ... and checks the phone's proof; the session is then sealed both ways.
  void accept() {
    challenge();
    auto proof = socket_->receive();
    ASSERT_TRUE(proof && handshake_.verify(protocol::asBytes(proof->data)));
    ciphers_.emplace(protocol::RelayCiphers::forAgent(handshake_.keys()));
  }
  std::string sealed(const std::string& text) {
    return std::string(protocol::asText(ciphers_->sending.seal(protocol::bytesOf(text))));
  }
  std::optional<std::string> opened(const std::string& wire) {
    auto plaintext = ciphers_->receiving.open(protocol::bytesOf(wire));
    if (!plaintext) return std::nullopt;
    return std::string(protocol::asText(*plaintext));
  }
  RelayClient& socket() { return *socket_; }

 private:
  std::unique_ptr<RelayClient> socket_;
  protocol::RelayHandshakeAgent handshake_;
  std::optional<protocol::RelayCiphers> ciphers_;
};

class RelayMessageChannelTest : public ::testing::Test {
 protected:
  explicit RelayMessageChannelTest(
      const std::function<void(account::ServiceConfig&)>& configure = {})
      : service_(configure),
        access_(service_.client().signInWithDevice("ada@example.com", kSecret)) {}

  std::string token() { return service_.client().relayToken(access_, kRoom); }
  // The room as a WebSocket URL of the service, `scheme` being ws or wss.
  std::string roomURL(const std::string& host = "127.0.0.1") {
    const std::string& url = service_.url();
    const bool secure = url.starts_with("https://");
    const std::string port = url.substr(url.rfind(':'));
    return (secure ? "wss://" : "ws://") + host + port + "/relay/" + kRoom;
  }
  RelayMessageChannel phone(const std::string& url) {
    return RelayMessageChannel(url, token(), kSecret, RelayChannel::control);
  }
  // Connects `channel` while `agent` plays its part of the handshake.
  std::exception_ptr connectedTo(RelayMessageChannel& channel,
                                 const std::function<void()>& agentsPart) {
    std::promise<std::exception_ptr> done;
    channel.connect([&](std::exception_ptr error) { done.set_value(error); });
    agentsPart();
    return done.get_future().get();
  }

  ServiceUnderTest service_;
  std::string access_;
};

TEST_F(RelayMessageChannelTest, SendAndReceiveBeforeConnectFailNotConnected) {
  auto channel = phone(roomURL());
  EXPECT_EQ(kindOf(sent(channel, "early")), SDKError::Kind::notConnected);
  EXPECT_EQ(kindOf(receiving(channel).get().error), SDKError::Kind::notConnected);
}

TEST_F(RelayMessageChannelTest, CarriesEachMessageSealedAsOneBinaryWebSocketMessageBothWays) {
  AgentSide agent(service_.url(), kSecret);
  auto channel = phone(roomURL());
  ASSERT_EQ(connectedTo(channel, [&] { agent.accept(); }), nullptr);

  ASSERT_EQ(sent(channel, "{\"first\":1}"), nullptr);
  auto first = agent.socket().receive();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->binary);
  EXPECT_EQ(first->data.find("first"), std::string::npos) << "the relay sees only ciphertext";
  EXPECT_EQ(agent.opened(first->data), "{\"first\":1}");

  auto reply = receiving(channel);
  agent.socket().sendBinary(agent.sealed("{\"reply\":true}"));
  Received got = reply.get();
  EXPECT_EQ(got.error, nullptr);
  EXPECT_EQ(got.message, "{\"reply\":true}");

  // A message the relay altered does not open: the channel ends rather than deliver it.
  auto tampered = receiving(channel);
  std::string wire = agent.sealed("{\"second\":2}");
  wire[0] ^= 1;
  agent.socket().sendBinary(wire);
  got = tampered.get();
  EXPECT_EQ(kindOf(got.error), SDKError::Kind::connectionFailed);
  EXPECT_NE(reasonOf(got.error).find("did not open"), std::string::npos) << reasonOf(got.error);
  EXPECT_TRUE(agent.socket().closedWithin(std::chrono::seconds(10)));
}

TEST_F(RelayMessageChannelTest, LeavingEndsTheRoomAndAWaitingReceiveFailsDisconnected) {
  AgentSide agent(service_.url(), kSecret);
  auto channel = phone(roomURL());
  ASSERT_EQ(connectedTo(channel, [&] { agent.accept(); }), nullptr);
  auto waiting = receiving(channel);
  agent.socket().close();
  EXPECT_EQ(kindOf(waiting.get().error), SDKError::Kind::disconnected);
  channel.close();
  EXPECT_EQ(kindOf(sent(channel, "late")), SDKError::Kind::notConnected);
}

// An impostor in the agent's place (the relay's operator can put one there) that accepts any
// proof: it cannot prove the secret itself, so the phone tells it nothing.
TEST_F(RelayMessageChannelTest, AnAgentThatCannotProveTheSecretIsRefused) {
  AgentSide impostor(service_.url(), protocol::PairingSecret::generate());
  auto channel = phone(roomURL());
  auto error = connectedTo(channel, [&] { impostor.challenge(); });
  EXPECT_EQ(kindOf(error), SDKError::Kind::connectionFailed);
  EXPECT_NE(reasonOf(error).find("did not prove the pairing secret"), std::string::npos)
      << reasonOf(error);
  // The phone sent no proof and nothing else: it just left.
  EXPECT_TRUE(impostor.socket().closedWithin(std::chrono::seconds(10)));
}

TEST_F(RelayMessageChannelTest, ConnectFailsWithTheRelaysAnswerOrTheNetworksReason) {
  // No agent in the room: refused at once, and the phone is told why.
  auto alone = phone(roomURL());
  auto error = connected(alone);
  EXPECT_EQ(kindOf(error), SDKError::Kind::connectionFailed);
  EXPECT_NE(reasonOf(error).find("HTTP 404: the agent is not in its relay room"), std::string::npos)
      << reasonOf(error);

  AgentSide agent(service_.url(), kSecret);
  RelayMessageChannel forged(roomURL(), "not-a-token", kSecret, RelayChannel::control);
  error = connected(forged);
  EXPECT_EQ(kindOf(error), SDKError::Kind::connectionFailed);
  EXPECT_NE(reasonOf(error).find("HTTP 401"), std::string::npos) << reasonOf(error);

  RelayMessageChannel nowhere("ws://127.0.0.1:1/relay/" + kRoom, token(), kSecret,
                              RelayChannel::control);
  error = connected(nowhere);
  EXPECT_EQ(kindOf(error), SDKError::Kind::connectionFailed);
  EXPECT_NE(reasonOf(error).find("cannot reach the relay"), std::string::npos) << reasonOf(error);

  RelayMessageChannel notWebSocket("http://127.0.0.1:1/relay/" + kRoom, token(), kSecret,
                                   RelayChannel::control);
  EXPECT_NE(reasonOf(connected(notWebSocket)).find("not ws or wss"), std::string::npos);
}

// The service over TLS, its certificate trusted only through SSL_CERT_FILE.
class RelayOverTlsTest : private LocalhostCertificate, public RelayMessageChannelTest {
 protected:
  RelayOverTlsTest()
      : RelayMessageChannelTest([this](account::ServiceConfig& config) {
          config.server.tlsCertificateFile = certificate;
          config.server.tlsKeyFile = key;
        }) {}
  const std::string& certificateFile() const { return certificate; }
};

TEST_F(RelayOverTlsTest, WssChecksTheCertificateAndTheHostName) {
  ASSERT_TRUE(roomURL().starts_with("wss://"));
  auto untrusted = phone(roomURL("localhost"));
  EXPECT_NE(reasonOf(connected(untrusted)).find("TLS"), std::string::npos);

  ::setenv("SSL_CERT_FILE", certificateFile().c_str(), 1);
  auto otherName = phone(roomURL("127.0.0.1"));
  EXPECT_NE(reasonOf(connected(otherName)).find("TLS"), std::string::npos)
      << "the certificate names localhost only";
  // Trusted and named: the relay's own answer arrives over TLS (the room has no agent).
  auto trusted = phone(roomURL("localhost"));
  EXPECT_NE(reasonOf(connected(trusted)).find("HTTP 404"), std::string::npos);
  ::unsetenv("SSL_CERT_FILE");
}

}  // namespace
}  // namespace lumora::sdk
