// The relay channel against the real relay of the account service on loopback: the phone's side
// is the channel, the agent's side a plain WebSocket client in the room's host slot.

#include <gtest/gtest.h>

#include <future>

#include "account/service_harness.h"
#include "sdk/relay/relay_message_channel.h"
#include "sdk/sdk_error.h"

namespace lumora::sdk {
namespace {

using account::testing::LocalhostCertificate;
using account::testing::RelayClient;
using account::testing::ServiceUnderTest;
using protocol::Bytes;

const std::string kRoom(64, 'c');

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

class RelayMessageChannelTest : public ::testing::Test {
 protected:
  explicit RelayMessageChannelTest(
      const std::function<void(account::ServiceConfig&)>& configure = {})
      : service_(configure),
        access_(service_.client().signInWithDevice("ada@example.com", kRoom)) {}

  std::string token() { return service_.client().relayToken(access_, kRoom); }
  // The room as a WebSocket URL of the service, `scheme` being ws or wss.
  std::string roomURL(const std::string& host = "127.0.0.1") {
    const std::string& url = service_.url();
    const bool secure = url.starts_with("https://");
    const std::string port = url.substr(url.rfind(':'));
    return (secure ? "wss://" : "ws://") + host + port + "/relay/" + kRoom;
  }
  std::unique_ptr<RelayClient> agentSide() {
    return std::make_unique<RelayClient>(service_.url(), "/relay/" + kRoom);
  }

  ServiceUnderTest service_;
  std::string access_;
};

TEST_F(RelayMessageChannelTest, SendAndReceiveBeforeConnectFailNotConnected) {
  RelayMessageChannel channel(roomURL(), token());
  EXPECT_EQ(kindOf(sent(channel, "early")), SDKError::Kind::notConnected);
  EXPECT_EQ(kindOf(receiving(channel).get().error), SDKError::Kind::notConnected);
}

TEST_F(RelayMessageChannelTest, CarriesEachMessageAsOneBinaryWebSocketMessageBothWays) {
  auto agent = agentSide();
  ASSERT_EQ(agent->status(), 101);
  RelayMessageChannel channel(roomURL(), token());
  ASSERT_EQ(connected(channel), nullptr);

  ASSERT_EQ(sent(channel, "{\"first\":1}"), nullptr);
  auto first = agent->receive();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->binary);
  EXPECT_EQ(first->data, "{\"first\":1}") << "no length prefix";

  auto reply = receiving(channel);
  agent->sendBinary("{\"reply\":true}");
  Received got = reply.get();
  EXPECT_EQ(got.error, nullptr);
  EXPECT_EQ(got.message, "{\"reply\":true}");

  // Leaving ends the room for the agent's side, and the channel for further use.
  channel.close();
  EXPECT_TRUE(agent->closedWithin(std::chrono::seconds(10)));
  EXPECT_EQ(kindOf(sent(channel, "late")), SDKError::Kind::notConnected);
  EXPECT_EQ(kindOf(receiving(channel).get().error), SDKError::Kind::disconnected);
}

TEST_F(RelayMessageChannelTest, AWaitingReceiveFailsDisconnectedWhenTheAgentSideLeaves) {
  auto agent = agentSide();
  RelayMessageChannel channel(roomURL(), token());
  ASSERT_EQ(connected(channel), nullptr);
  auto waiting = receiving(channel);
  agent->close();
  EXPECT_EQ(kindOf(waiting.get().error), SDKError::Kind::disconnected);
}

TEST_F(RelayMessageChannelTest, ConnectFailsWithTheRelaysAnswerOrTheNetworksReason) {
  RelayMessageChannel forged(roomURL(), "not-a-token");
  auto error = connected(forged);
  EXPECT_EQ(kindOf(error), SDKError::Kind::connectionFailed);
  EXPECT_NE(reasonOf(error).find("HTTP 401"), std::string::npos) << reasonOf(error);

  RelayMessageChannel nowhere("ws://127.0.0.1:1/relay/" + kRoom, token());
  error = connected(nowhere);
  EXPECT_EQ(kindOf(error), SDKError::Kind::connectionFailed);
  EXPECT_NE(reasonOf(error).find("cannot reach the relay"), std::string::npos) << reasonOf(error);

  RelayMessageChannel notWebSocket("http://127.0.0.1:1/relay/" + kRoom, token());
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
  RelayMessageChannel untrusted(roomURL("localhost"), token());
  EXPECT_NE(reasonOf(connected(untrusted)).find("TLS"), std::string::npos);

  ::setenv("SSL_CERT_FILE", certificateFile().c_str(), 1);
  RelayMessageChannel otherName(roomURL("127.0.0.1"), token());
  EXPECT_NE(reasonOf(connected(otherName)).find("TLS"), std::string::npos)
      << "the certificate names localhost only";

  // Both sides over wss: the agent's without a token, the phone's with one.
  RelayMessageChannel agent(roomURL("localhost"), std::nullopt);
  ASSERT_EQ(connected(agent), nullptr);
  RelayMessageChannel phone(roomURL("localhost"), token());
  ASSERT_EQ(connected(phone), nullptr);
  auto arriving = receiving(agent);
  ASSERT_EQ(sent(phone, "over tls"), nullptr);
  EXPECT_EQ(arriving.get().message, "over tls");
  ::unsetenv("SSL_CERT_FILE");
}

}  // namespace
}  // namespace lumora::sdk
