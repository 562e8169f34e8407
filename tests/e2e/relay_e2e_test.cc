// The agent on the protected relay, end to end: lumora-agent --relay-base joins the rooms of the
// real account service (run in this process on loopback), proving the room key, and a phone built
// on the client library reaches it there with a relay token: it proves the pairing secret, the
// agent proves it back, and everything after is sealed. And the attack on the agent that the
// relay once allowed, tried again with the real programs: a peer without the secret. (An
// impostor in the agent's place is refused by the phone: the relay channel's test; other
// accounts and squatters by the service: its relay and route tests.) Last, the screen stream of
// an agent on a private Xvfb, for viewers that join it in the media room and on the media port.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "account/relay_phone.h"
#include "account/service_harness.h"
#include "protocol/envelope.h"
#include "protocol/limits.h"
#include "sdk/agent_control_client.h"
#include "sdk/media_client.h"
#include "support/agent_process.h"
#include "support/eventually.h"
#include "support/failure_of.h"
#include "support/process_table.h"
#include "support/xvfb_server.h"

namespace lumora {
namespace {

using namespace std::chrono_literals;
using account::testing::RelayClient;
using account::testing::RelayPhone;
using account::testing::ServiceUnderTest;
using protocol::Envelope;
using protocol::MessageType;
using protocol::RelayChannel;
using testing_support::AgentProcess;
using testing_support::eventually;

// What the agent answered a call with, else the client library's own words.
std::string errorOf(const std::function<void()>& call) {
  const auto error = testing_support::failureOf<sdk::SDKError>(call);
  return error.agentError() ? error.agentError()->message : error.what();
}

// The service, and the phone's side of it: an account whose device is the agent.
class RelayEndToEndTest : public ::testing::Test {
 protected:
  // With a display: the agent on a private Xvfb. The agent is given the service's own http
  // origin, as a user would copy it.
  explicit RelayEndToEndTest(bool withDisplay = false)
      : xvfb_(withDisplay ? std::make_unique<testing_support::XvfbServer>("640x480x24") : nullptr),
        agent_(xvfb_ ? std::vector<std::string>{"DISPLAY=" + xvfb_->display()}
                     : std::vector<std::string>{},
               {"--relay-base", service_.url()}) {}

  void SetUp() override {
    ASSERT_TRUE(agent_.serving()) << agent_.log();
    access_ = service_.client().signInWithDevice("ada@example.com", agent_.secret());
    // Both of the agent's sockets are in their rooms.
    ASSERT_TRUE(eventually([&] { return service_.service().relayRoomCount() == 2; }))
        << agent_.log();
  }

  std::string room() { return protocol::RoomKey::derive(agent_.secret()).fingerprint(); }
  std::string controlRoom() { return "ws://" + service_.url().substr(7) + "/relay/" + room(); }
  std::string relayToken() { return service_.client().relayToken(access_, room()); }

  // Connects through the relay (the agent proves the secret in the handshake) and returns what
  // a request before pairing was told, then pairs. A phone that comes while the agent is
  // joining its room again after the last session is refused at once: it tries again.
  std::string connect(sdk::AgentControlClient& client) {
    const bool reached = eventually([&] {
      try {
        client.connectViaRelay(controlRoom(), relayToken(), agent_.secret().code()).get();
        return true;
      } catch (const sdk::SDKError& e) {
        return std::string(e.what()).find("not in its relay room") == std::string::npos;
      }
    });
    if (!reached) return "(never reached the agent)";
    const std::string unpaired = errorOf([&] { client.ping().get(); });
    client.authenticate(agent_.secret().code(), "relay-e2e").get();
    return unpaired;
  }

  std::unique_ptr<testing_support::XvfbServer> xvfb_;
  ServiceUnderTest service_;
  AgentProcess agent_;
  std::string access_;
};

TEST_F(RelayEndToEndTest, APhonePairsAndRunsCommandsThroughTheRelay) {
  sdk::AgentControlClient client;
  EXPECT_EQ(connect(client), "authentication required");
  EXPECT_EQ(client.runCommand("echo through the relay", "/bin/sh").get().stdout,
            "through the relay\n");
  // (A file larger than what is read before pairing travels in one message: balancer_e2e_test's
  // 300 kB put and get through the relay.)
  // An answer longer than the relay carries is refused in words, and the session goes on.
  const std::string big = agent_.home() / "big.bin";
  std::ofstream(big, std::ios::binary).close();
  std::filesystem::resize_file(big, protocol::kMaxRelayMessageBytes);
  EXPECT_NE(errorOf([&] {
              client.downloadChunk(big, 0, std::nullopt).get();
            }).find("larger than the relay carries"),
            std::string::npos);
  EXPECT_EQ(client.runCommand("echo still here", "/bin/sh").get().stdout, "still here\n");
  // There is no media channel of the agent's behind the relay.
  EXPECT_EQ(errorOf([&] { client.requestMediaTicket().get(); }), "media channel not available");
}

TEST_F(RelayEndToEndTest, WhatAPhoneStartedEndsWhenItLeaves) {
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
}

// What a phone sends through the relay is as untrusted as what it sends to the control port,
// once it is past the handshake.
TEST_F(RelayEndToEndTest, RawMessagesGetTheGatesAnswersAndOversizedOnesEndTheSession) {
  RelayPhone phone(service_.url(), room(), relayToken(), agent_.secret(), RelayChannel::control);
  ASSERT_EQ(phone.socket().status(), 101);
  ASSERT_TRUE(phone.handshake());
  auto ask = [&](std::string_view message) -> std::optional<Envelope> {
    phone.sendSealed(protocol::bytesOf(message));
    auto reply = phone.receiveSealed();
    if (!reply) return std::nullopt;
    auto decoded = Envelope::decode(*reply);  // the envelope alone, no length prefix
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
  phone.sendSealed(protocol::Bytes(100000, '{'));
  EXPECT_TRUE(phone.socket().closedWithin(10s));

  // The agent joins again and serves the next phone, which starts unpaired.
  sdk::AgentControlClient next;
  EXPECT_EQ(connect(next), "authentication required") << agent_.log();
}

// A peer in the room (its relay token was the operator's to mint, or a family member's) that
// does not know the pairing secret gets the agent's challenge and nothing else, and nothing it
// sends runs.
TEST_F(RelayEndToEndTest, APeerWithoutTheSecretReceivesNothingAndRunsNothing) {
  const std::string marker = agent_.home() / "ran";
  const auto run = Envelope::request(protocol::TerminalRunRequest{"touch " + marker, "/bin/sh"});

  // Straight to a request, skipping the handshake: the session ends, unanswered.
  RelayClient plain(service_.url(), "/relay/" + room() + "?token=" + relayToken());
  ASSERT_EQ(plain.status(), 101);
  plain.sendBinary(std::string(protocol::asText(run.encode())));
  EXPECT_TRUE(plain.closedWithin(10s));

  // The handshake with the wrong secret: the agent's challenge does not verify for it, its
  // proof does not verify for the agent, and its "sealed" request goes nowhere.
  ASSERT_TRUE(eventually([&] {
    RelayPhone guesser(service_.url(), room(), relayToken(), protocol::PairingSecret::generate(),
                       RelayChannel::control);
    if (guesser.socket().status() != 101) return false;
    EXPECT_FALSE(guesser.handshake());
    guesser.socket().sendBinary(std::string(34, '\x01'));
    guesser.socket().sendBinary(std::string(protocol::asText(run.encode())));
    EXPECT_TRUE(guesser.socket().closedWithin(10s));
    return true;
  }));
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(std::filesystem::exists(marker));
}

// The screen stream from an agent on a private Xvfb, to viewers on the media port and in the
// media room.
class RelayStreamEndToEndTest : public RelayEndToEndTest {
 protected:
  RelayStreamEndToEndTest() : RelayEndToEndTest(true) {}
};

// Each viewer that joins a running stream starts with a key frame made for it, through the relay
// (whose viewer proved the secret: transport's relay rooms test shows that nobody else gets a
// frame) and on the media port alike: two ways in, each asking the encoder on its own.
TEST_F(RelayStreamEndToEndTest, ViewersJoiningAnIdleScreenGetAKeyFrameAtOnce) {
  sdk::AgentControlClient direct;
  direct.connect("127.0.0.1", agent_.controlPort()).get();
  direct.authenticate(agent_.secret().code(), "direct").get();
  const std::string ticket = direct.requestMediaTicket().get();
  sdk::MediaClient directMedia;
  auto directFrames = directMedia.connect("127.0.0.1", agent_.mediaPort(), ticket).get();
  direct.startStream(std::nullopt, std::nullopt, protocol::VideoCodec::hevc).get();
  const auto started = directFrames.next(10s);
  ASSERT_TRUE(started) << agent_.log();
  EXPECT_EQ(started->meta.codec, protocol::VideoCodec::h264) << "asked for hevc, gets H.264";

  // The screen stands still: without the key frame asked for each viewer, nothing would come.
  // (That a key frame decodes on its own is h264_encoder_test's; that the relay carries frames
  // whole, relay_rooms_test's.)
  const auto expectKeyFrameAtOnce = [&](sdk::Stream<protocol::MediaFrame>& frames) {
    const auto first = frames.next(10s);
    ASSERT_TRUE(first) << agent_.log();
    EXPECT_TRUE(first->meta.isKeyframe);
    EXPECT_EQ(first->meta.width, 640);
    EXPECT_EQ(first->meta.height, 480);
  };
  std::this_thread::sleep_for(500ms);
  sdk::MediaClient relayed;
  auto relayedFrames =
      relayed.connectViaRelay(controlRoom() + "-media", relayToken(), agent_.secret().code()).get();
  expectKeyFrameAtOnce(relayedFrames);
  std::this_thread::sleep_for(500ms);
  sdk::MediaClient second;
  auto secondFrames =
      second.connect("127.0.0.1", agent_.mediaPort(), direct.requestMediaTicket().get()).get();
  expectKeyFrameAtOnce(secondFrames);

  // The media connection outlives the stream, for the next one; its ticket opens no other.
  direct.stopStream().get();
  while (directFrames.next(300ms)) {
  }
  EXPECT_FALSE(directFrames.ended());
  sdk::MediaClient again;
  auto refused = again.connect("127.0.0.1", agent_.mediaPort(), ticket).get();
  EXPECT_FALSE(refused.next(5s));
  EXPECT_TRUE(refused.ended());
}

}  // namespace
}  // namespace lumora
