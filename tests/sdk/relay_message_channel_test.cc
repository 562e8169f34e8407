// The relay channel against the real relay of the account service on loopback: the phone's side
// is the channel, the agent's side a plain WebSocket client holding the room's host slot that
// plays the agent's part of the relay handshake (or an impostor's).

#include <gtest/gtest.h>

#include "account/service_harness.h"
#include "protocol/relay_cipher.h"
#include "sdk/relay/relay_message_channel.h"
#include "sdk/scripted_peer.h"

namespace lumora::sdk {
namespace {

using account::testing::LocalhostCertificate;
using account::testing::RelayClient;
using account::testing::ServiceUnderTest;
using protocol::Bytes;
using protocol::RelayChannel;
using testing_support::connectChannel;
using testing_support::receiveOn;
using testing_support::sdkErrorOf;
using testing_support::sendOn;

const protocol::PairingSecret kSecret = protocol::PairingSecret::generate();
const protocol::RoomKey kKey = protocol::RoomKey::derive(kSecret);
const std::string kRoom = kKey.fingerprint();

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
  static std::future<void> connectedTo(RelayMessageChannel& channel,
                                       const std::function<void()>& agentsPart) {
    auto connected = connectChannel(channel);
    agentsPart();
    return connected;
  }

  ServiceUnderTest service_;
  std::string access_;
};

TEST_F(RelayMessageChannelTest, CarriesEachMessageSealedAsOneBinaryWebSocketMessageBothWays) {
  AgentSide agent(service_.url(), kSecret);
  auto channel = phone(roomURL());
  ASSERT_NO_THROW(connectedTo(channel, [&] { agent.accept(); }).get());

  ASSERT_NO_THROW(sendOn(channel, protocol::bytesOf("{\"first\":1}")).get());
  auto first = agent.socket().receive();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->binary);
  EXPECT_EQ(first->data.find("first"), std::string::npos) << "the relay sees only ciphertext";
  EXPECT_EQ(agent.opened(first->data), "{\"first\":1}");

  auto reply = receiveOn(channel);
  agent.socket().sendBinary(agent.sealed("{\"reply\":true}"));
  EXPECT_EQ(reply.get(), protocol::bytesOf("{\"reply\":true}"));

  // A message the relay altered does not open: the channel ends rather than deliver it.
  auto tampered = receiveOn(channel);
  std::string wire = agent.sealed("{\"second\":2}");
  wire[0] ^= 1;
  agent.socket().sendBinary(wire);
  const SDKError unopened = sdkErrorOf(tampered);
  EXPECT_EQ(unopened.kind(), SDKError::Kind::connectionFailed);
  EXPECT_NE(unopened.reason().find("did not open"), std::string::npos) << unopened.reason();
  EXPECT_TRUE(agent.socket().closedWithin(std::chrono::seconds(10)));
}

TEST_F(RelayMessageChannelTest, LeavingEndsTheRoomAndAWaitingReceiveFailsDisconnected) {
  AgentSide agent(service_.url(), kSecret);
  auto channel = phone(roomURL());
  ASSERT_NO_THROW(connectedTo(channel, [&] { agent.accept(); }).get());
  auto waiting = receiveOn(channel);
  agent.socket().close();
  EXPECT_EQ(sdkErrorOf(waiting).kind(), SDKError::Kind::disconnected);
  channel.close();
  EXPECT_EQ(sdkErrorOf(sendOn(channel, protocol::bytesOf("late"))).kind(),
            SDKError::Kind::notConnected);
}

// An impostor in the agent's place (the relay's operator can put one there) that accepts any
// proof: it cannot prove the secret itself, so the phone tells it nothing.
TEST_F(RelayMessageChannelTest, AnAgentThatCannotProveTheSecretIsRefused) {
  AgentSide impostor(service_.url(), protocol::PairingSecret::generate());
  auto channel = phone(roomURL());
  const SDKError error = sdkErrorOf(connectedTo(channel, [&] { impostor.challenge(); }));
  EXPECT_EQ(error.kind(), SDKError::Kind::connectionFailed);
  EXPECT_NE(error.reason().find("did not prove the pairing secret"), std::string::npos)
      << error.reason();
  // The phone sent no proof and nothing else: it just left.
  EXPECT_TRUE(impostor.socket().closedWithin(std::chrono::seconds(10)));
}

TEST_F(RelayMessageChannelTest, ConnectFailsWithTheRelaysAnswerOrTheNetworksReason) {
  // No agent in the room: refused at once, and the phone is told why.
  auto alone = phone(roomURL());
  const SDKError absent = sdkErrorOf(connectChannel(alone));
  EXPECT_EQ(absent.kind(), SDKError::Kind::connectionFailed);
  EXPECT_NE(absent.reason().find("HTTP 404: the agent is not in its relay room"), std::string::npos)
      << absent.reason();

  AgentSide agent(service_.url(), kSecret);
  const struct {
    std::string url, token, reason;
  } refused[] = {
      {roomURL(), "not-a-token", "HTTP 401"},
      {"ws://127.0.0.1:1/relay/" + kRoom, token(), "cannot reach the relay"},
      {"http://127.0.0.1:1/relay/" + kRoom, token(), "not ws or wss"},
  };
  for (const auto& c : refused) {
    RelayMessageChannel channel(c.url, c.token, kSecret, RelayChannel::control);
    const SDKError error = sdkErrorOf(connectChannel(channel));
    EXPECT_EQ(error.kind(), SDKError::Kind::connectionFailed) << c.url;
    EXPECT_NE(error.reason().find(c.reason), std::string::npos) << error.reason();
  }
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
  EXPECT_NE(sdkErrorOf(connectChannel(untrusted)).reason().find("TLS"), std::string::npos);

  ::setenv("SSL_CERT_FILE", certificateFile().c_str(), 1);
  auto otherName = phone(roomURL("127.0.0.1"));
  EXPECT_NE(sdkErrorOf(connectChannel(otherName)).reason().find("TLS"), std::string::npos)
      << "the certificate names localhost only";
  // Trusted and named: the relay's own answer arrives over TLS (the room has no agent).
  auto trusted = phone(roomURL("localhost"));
  EXPECT_NE(sdkErrorOf(connectChannel(trusted)).reason().find("HTTP 404"), std::string::npos);
  ::unsetenv("SSL_CERT_FILE");
}

}  // namespace
}  // namespace lumora::sdk
