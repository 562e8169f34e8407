// The agent on the relay, end to end: lumora-agent --relay-base joins the rooms of the real
// account service (run in this process on loopback), and a phone built on the client library
// reaches it there with a relay token: pairs, runs commands, opens terminals, receives the
// screen stream. The relay ends each phone session by closing the agent's socket; the agent
// joins again for the next one, and also after the service itself went away.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "account/service_harness.h"
#include "sdk/agent_control_client.h"
#include "sdk/media_client.h"
#include "support/agent_process.h"
#include "support/eventually.h"
#include "support/process_table.h"
#include "support/raw_client.h"
#include "support/screen_animator.h"
#include "support/xvfb_server.h"

namespace lumora {
namespace {

using namespace std::chrono_literals;
using account::testing::RelayClient;
using account::testing::ServiceUnderTest;
using protocol::Envelope;
using protocol::MessageType;
using testing_support::AgentProcess;
using testing_support::eventually;

// The service, and the phone's side of it: an account whose device is the agent.
class RelayEndToEndTest : public ::testing::Test {
 protected:
  // With a display: the agent on a private Xvfb.
  explicit RelayEndToEndTest(bool withDisplay = false)
      : xvfb_(withDisplay ? std::make_unique<testing_support::XvfbServer>("640x480x24") : nullptr),
        service_(std::make_unique<ServiceUnderTest>(configure())),
        agent_(xvfb_ ? std::vector<std::string>{"DISPLAY=" + xvfb_->display()}
                     : std::vector<std::string>{},
               {"--relay-base", relayBase()}) {}

  void SetUp() override {
    ASSERT_TRUE(agent_.serving()) << agent_.log();
    registerAgent();
    // Both of the agent's sockets are in their rooms.
    ASSERT_TRUE(eventually([&] { return service_->service().relayRoomCount() == 2; }))
        << agent_.log();
  }

  // The same database and port across restarts of the service.
  std::function<void(account::ServiceConfig&)> configure() {
    return [this](account::ServiceConfig& config) {
      config.database = "sqlite:" + state_ / "accounts.sqlite";
      config.server.port = port_;
    };
  }
  std::string relayBase() {
    const std::string& url = service_->url();
    port_ = static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));
    return "ws://" + url.substr(std::string("http://").size());
  }
  std::string controlRoom() { return relayBase() + "/relay/" + agent_.secret().fingerprint(); }

  void registerAgent() {
    access_ = service_->client().signInWithDevice("ada@example.com", agent_.secret().fingerprint());
  }
  std::string relayToken() {
    return service_->client().relayToken(access_, agent_.secret().fingerprint());
  }

  // Connects through the relay and pings until the agent answers: what is sent while the phone
  // is alone in the room is lost, so a phone keeps asking until the agent has joined. Returns
  // what the ping before pairing was told, then pairs.
  std::string connect(sdk::AgentControlClient& client) {
    client.connectViaRelay(controlRoom(), relayToken()).get();
    std::string unpaired = "(the agent never answered)";
    const bool reached = eventually(
        [&] {
          auto probe = client.ping();
          if (probe.wait_for(500ms) != std::future_status::ready) return false;
          try {
            probe.get();
            unpaired = "(answered without pairing)";
          } catch (const sdk::SDKError& e) {
            unpaired = e.agentError() ? e.agentError()->message : e.what();
          }
          return true;
        },
        30s);
    if (reached) client.authenticate(agent_.secret().code(), "relay-e2e").get();
    return unpaired;
  }

  std::unique_ptr<testing_support::XvfbServer> xvfb_;
  testing_support::TempDir state_;
  std::uint16_t port_ = 0;
  std::unique_ptr<ServiceUnderTest> service_;
  AgentProcess agent_;
  std::string access_;
};

TEST_F(RelayEndToEndTest, APhonePairsAndRunsCommandsThroughTheRelay) {
  const std::string fingerprint = agent_.secret().fingerprint();
  EXPECT_NE(agent_.log().find("relay connector joined " + controlRoom()), std::string::npos);
  EXPECT_NE(agent_.log().find("relay media publisher joined " + controlRoom() + "-media"),
            std::string::npos);
  EXPECT_NE(agent_.log().find("  relay: " + controlRoom() + "\n"), std::string::npos);

  sdk::AgentControlClient client;
  EXPECT_EQ(connect(client), "authentication required");
  EXPECT_EQ(client.runCommand("echo through the relay", "/bin/sh").get().stdout,
            "through the relay\n");
  // A file larger than what is read before pairing travels in one message.
  const protocol::Bytes content(300000, 0x5a);
  const std::string path = agent_.home() / "relayed.bin";
  client.uploadFile(path, content, 200000).get();
  EXPECT_EQ(client.downloadFile(path).get(), content);

  // There is no media channel of the agent's behind the relay.
  try {
    client.requestMediaTicket().get();
    ADD_FAILURE() << "a media ticket through the relay";
  } catch (const sdk::SDKError& e) {
    ASSERT_TRUE(e.agentError());
    EXPECT_EQ(e.agentError()->code, "unavailable");
    EXPECT_EQ(e.agentError()->message, "media channel not available");
  }
}

TEST_F(RelayEndToEndTest, WhatAPhoneStartedEndsWhenItLeavesAndTheNextPhoneStartsAfresh) {
  auto running = [](const char* mark) {
    return !testing_support::processesCarrying(std::string("LUMORA_RELAY_MARK=") + mark).empty();
  };
  sdk::AgentControlClient client;
  ASSERT_EQ(connect(client), "authentication required");
  auto terminal = client.openTerminal("/bin/sh", 80, 24).get();
  terminal.sendText("exec env LUMORA_RELAY_MARK=terminal sleep 300\n").get();
  auto command = client.runCommand("exec env LUMORA_RELAY_MARK=command sleep 300", "/bin/sh");
  ASSERT_TRUE(eventually([&] { return running("terminal") && running("command"); }));

  // The phone leaves; the relay closes the agent's socket, which ends the phone's terminals and
  // the command it was waiting for.
  client.disconnect();
  EXPECT_TRUE(eventually([&] { return !running("terminal") && !running("command"); }));

  // The agent is back in the room with a fresh session: the next phone must pair again.
  sdk::AgentControlClient next;
  EXPECT_EQ(connect(next), "authentication required");
  EXPECT_NO_THROW(next.ping().get());
}

TEST_F(RelayEndToEndTest, TheAgentRejoinsWhenTheRelayServiceComesBack) {
  service_.reset();
  std::this_thread::sleep_for(1500ms);  // a few failed joins
  service_ = std::make_unique<ServiceUnderTest>(configure());
  registerAgent();

  sdk::AgentControlClient client;
  EXPECT_EQ(connect(client), "authentication required") << agent_.log();
  EXPECT_NO_THROW(client.ping().get());
  EXPECT_NE(agent_.log().find("cannot join the relay room at " + controlRoom()), std::string::npos);
  EXPECT_NE(agent_.log().find("joined the relay room again at " + controlRoom()),
            std::string::npos);
}

// What a phone sends through the relay is as untrusted as what it sends to the control port.
TEST_F(RelayEndToEndTest, RawMessagesGetTheGatesAnswersAndOversizedOnesEndTheSession) {
  RelayClient phone(service_->url(),
                    "/relay/" + agent_.secret().fingerprint() + "?token=" + relayToken());
  ASSERT_EQ(phone.status(), 101);
  auto ask = [&](std::string_view message) -> std::optional<Envelope> {
    phone.sendBinary(std::string(message));
    auto reply = phone.receive();
    if (!reply || !reply->binary) return std::nullopt;
    auto decoded = Envelope::decode(reply->data);  // the envelope alone, no length prefix
    if (!decoded) return std::nullopt;
    return decoded.value();
  };

  auto garbage = ask("\x01 not an envelope");
  ASSERT_TRUE(garbage);
  ASSERT_EQ(garbage->payload.messageType(), MessageType::error);
  EXPECT_EQ(garbage->payload.get<MessageType::error>()->code, "bad_request");
  auto challenge =
      ask(protocol::asText(Envelope::request(protocol::AuthBegin{"raw-phone"}).encode()));
  ASSERT_TRUE(challenge);
  EXPECT_EQ(challenge->payload.messageType(), MessageType::authChallenge);

  // Before pairing, a message over 64 KiB ends the agent's socket, and so the room.
  phone.sendBinary(std::string(100000, '{'));
  EXPECT_TRUE(phone.closedWithin(10s));

  // The agent joins again and serves the next phone, which starts unpaired.
  sdk::AgentControlClient next;
  EXPECT_EQ(connect(next), "authentication required") << agent_.log();
}

TEST(RelayBaseTest, AnUnreachableOrMalformedRelayBaseDoesNotKeepTheAgentFromServing) {
  AgentProcess unreachable({}, {"--relay-base", "ws://127.0.0.1:1"});
  ASSERT_TRUE(unreachable.serving()) << unreachable.log();
  testing_support::RawClient direct(unreachable.controlPort());
  direct.authenticate(unreachable.secret());
  EXPECT_EQ(direct.ask(protocol::PingRequest{}).payload.messageType(), MessageType::ack);
  const std::string room = "ws://127.0.0.1:1/relay/" + unreachable.secret().fingerprint();
  EXPECT_TRUE(eventually([&] {
    return unreachable.log().find("cannot join the relay room at " + room) != std::string::npos;
  })) << unreachable.log();
  EXPECT_EQ(unreachable.terminate(), 0);

  AgentProcess malformed({}, {"--relay-base", "not a url"});
  ASSERT_TRUE(malformed.serving()) << malformed.log();
  EXPECT_EQ(malformed.log().find("relay"), std::string::npos) << malformed.log();
  EXPECT_EQ(malformed.terminate(), 0);
}

// The screen stream through the media room, from an agent on a private Xvfb.
class RelayStreamEndToEndTest : public RelayEndToEndTest {
 protected:
  RelayStreamEndToEndTest() : RelayEndToEndTest(true) {}
};

TEST_F(RelayStreamEndToEndTest, StreamFramesArriveThroughTheMediaRoom) {
  // A screen that keeps changing, so that frames keep coming.
  testing_support::ScreenAnimator animator(xvfb_->display(),
                                           testing_support::ScreenAnimator::noise());
  sdk::AgentControlClient client;
  ASSERT_EQ(connect(client), "authentication required");
  sdk::MediaClient media;
  auto frames = media.connectViaRelay(controlRoom() + "-media", relayToken()).get();
  client.startStream(std::nullopt, std::nullopt, protocol::VideoCodec::h264).get();

  std::vector<protocol::ScreenFrameMeta> received;
  while (received.size() < 3) {
    auto frame = frames.next(10s);
    ASSERT_TRUE(frame) << "after " << received.size() << " frames\n" << agent_.log();
    EXPECT_EQ(frame->payload.size(), static_cast<std::size_t>(frame->meta.byteCount));
    received.push_back(frame->meta);
  }
  EXPECT_TRUE(received.front().isKeyframe) << "a relayed stream starts at a key frame";
  EXPECT_EQ(received.front().width, 640);
  EXPECT_EQ(received.front().height, 480);
  client.stopStream().get();
}

}  // namespace
}  // namespace lumora
