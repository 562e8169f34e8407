// A paired phone keeps pinging while hundreds of peers that never pair crowd both ports: idle,
// dripping a byte at a time, or sending frames no agent should take. The agent must stay up,
// answer every hostile frame as it should, shed the waiting crowd, and answer the phone
// throughout. (How fast it answers meanwhile is control_bench's to measure.)

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "protocol/base64.h"
#include "protocol/frame_codec.h"
#include "support/agent_process.h"
#include "support/process_table.h"
#include "support/raw_client.h"

namespace lumora::load {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using protocol::Bytes;
using protocol::Envelope;
using protocol::MessageType;
using testing_support::AgentProcess;
using testing_support::RawClient;
using testing_support::residentBytes;

// How long the agent gets to close a connection it must refuse. Shorter than the media port's
// ticket time-out (5 s), so a media refusal cannot be mistaken for the time-out.
constexpr auto kRefusalLimit = 3s;

// Peers that never pair, on both ports: a burst opened up front (idle ones, and drips that
// send a byte of a frame every tick and never finish it), then a trickle of newcomers of each
// kind added every tick by a thread of the crowd's own.
class UnpairedCrowd {
 public:
  explicit UnpairedCrowd(const AgentProcess& agent)
      : controlPort_(agent.controlPort()), mediaPort_(agent.mediaPort()) {
    for (int i = 0; i < 300; ++i) oldestControl.emplace_back(controlPort_);
    for (int i = 0; i < 200; ++i) oldestMedia.emplace_back(mediaPort_);
    for (int i = 0; i < 100; ++i) joinOneOfEach(/*idle=*/false);
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
  }

  void stop() {
    thread_.request_stop();
    thread_.join();
  }

  // The idle connections of the burst, oldest first: by the end the agent must have shed them
  // (control: evicted by newer waiting peers; media: the ticket time-out).
  std::vector<RawClient> oldestControl;
  std::vector<RawClient> oldestMedia;
  // Newcomers whose connect failed (the agent stopped accepting and its backlog filled).
  std::atomic<int> refused{0};

 private:
  struct Drip {
    RawClient connection;
    const Bytes* frame;
    std::size_t sent = 0;
  };

  void joinOneOfEach(bool idle) {
    if (idle) {
      newcomers_.emplace_back(controlPort_);
      newcomers_.emplace_back(mediaPort_);
    }
    drips_.push_back({RawClient(controlPort_), &ping_});
    drips_.push_back({RawClient(mediaPort_), &unissuedTicket_});
  }

  void run(const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      std::this_thread::sleep_for(100ms);
      // A drip the agent has dropped keeps trying; the send just fails.
      for (auto& drip : drips_) {
        if (drip.sent < drip.frame->size()) {
          drip.connection.trySend(protocol::ByteView(drip.frame->data() + drip.sent++, 1));
        }
      }
      try {
        joinOneOfEach(/*idle=*/true);
      } catch (const std::system_error&) {
        ++refused;
      }
    }
  }

  const std::uint16_t controlPort_;
  const std::uint16_t mediaPort_;
  const Bytes ping_ =
      protocol::FrameCodec::encode(Envelope::request(protocol::PingRequest{}).encode());
  const Bytes unissuedTicket_ = protocol::FrameCodec::encode(Bytes(64, 'a'));
  std::vector<RawClient> newcomers_;
  std::vector<Drip> drips_;
  std::jthread thread_;
};

// The exchanges an unpaired peer can try, each on fresh connections: empty when the agent
// answered as it owes, otherwise what it did instead.
std::string describe(const std::optional<Envelope>& reply) {
  return reply ? testing_support::describe(*reply) : "the connection closed";
}
// A bad frame costs no connection: JSON nested far beyond any envelope (the decoder's refusals,
// each through the one "decode failed" answer, are envelope_test's) gets "bad_request" /
// "decode failed", uncorrelated, and a ping after it is still answered. (Wrong proofs slow
// their address down: a case of their own.)
std::string aMalformedFrameIsAnsweredAndSurvived(std::uint16_t controlPort) {
  RawClient client(controlPort);
  const std::string nested = R"({"version":1,"id":"A","payload":{"type":"ping","data":)" +
                             std::string(20000, '[') + std::string(20000, ']') + "}}";
  client.sendRaw(protocol::FrameCodec::encode(protocol::asBytes(nested)));
  const auto answer = client.receive();
  if (describe(answer) != "bad_request: decode failed" || answer->correlationID) {
    return "a nested frame answered with " + describe(answer);
  }
  const std::string afterwards = describe(client.ask(protocol::PingRequest{}));
  return afterwards == "unauthorized: authentication required"
             ? ""
             : "a ping after the bad frame answered with " + afterwards;
}

// Frames no agent takes close the connection: a 1 MiB frame of Base64 before pairing (over the
// limit before pairing, as any longer announced length is), and on the media port a ticket frame
// announcing 4 GiB and one whose 64 bytes are not UTF-8.
std::string refusedFramesCloseTheirConnections(std::uint16_t controlPort, std::uint16_t mediaPort) {
  const std::string mac = protocol::base64Encode(Bytes(768 << 10, 0xa5));
  const std::vector<std::pair<std::uint16_t, Bytes>> refused = {
      {controlPort,
       protocol::FrameCodec::encode(protocol::asBytes(
           R"({"version":1,"id":"B","payload":{"type":"auth.complete","data":{"mac":")" + mac +
           "\"}}}"))},
      {mediaPort, {0xff, 0xff, 0xff, 0xff, 'a'}},
      {mediaPort, protocol::FrameCodec::encode(Bytes(64, 0xfe))}};
  for (const auto& [port, frame] : refused) {
    RawClient peer(port);
    peer.trySend(frame);  // the agent may stop reading it half way
    if (!peer.closedWithin(kRefusalLimit)) {
      return "a frame of " + std::to_string(frame.size()) + " bytes on port " +
             std::to_string(port) + " left the connection open";
    }
  }
  return "";
}

// A newcomer still pairs and is served: waiting connections cannot lock a phone out.
std::string aNewPeerStillPairs(const AgentProcess& agent) {
  try {
    RawClient client(agent.controlPort());
    client.authenticate(agent.secret());
    const auto reply = client.ask(protocol::PingRequest{});
    return reply.payload.messageType() == MessageType::ack ? "" : "ping: " + describe(reply);
  } catch (const std::exception& e) {
    return std::string("a new peer could not pair: ") + e.what();
  }
}

bool pinged(RawClient& phone) {
  return phone.ask(protocol::PingRequest{}).payload.messageType() == MessageType::ack;
}

TEST(UnpairedFloodTest, AgentShedsUnpairedPeersAndKeepsServingThePairedOne) {
  AgentProcess agent;
  ASSERT_TRUE(agent.serving()) << agent.log();
  RawClient phone(agent.controlPort());
  phone.authenticate(agent.secret());
  ASSERT_TRUE(pinged(phone));
  const std::size_t quietResident = residentBytes(agent.pid());

  UnpairedCrowd crowd(agent);
  // The hostile exchanges, round after round beside the phone's pings; what went wrong is kept.
  int rounds = 0;
  std::vector<std::string> problems;
  std::jthread hostile([&](std::stop_token stop) {
    for (; !stop.stop_requested() && problems.size() < 10; ++rounds) {
      for (const std::string& problem :
           {aMalformedFrameIsAnsweredAndSurvived(agent.controlPort()),
            refusedFramesCloseTheirConnections(agent.controlPort(), agent.mediaPort()),
            aNewPeerStillPairs(agent)}) {
        if (!problem.empty())
          problems.push_back("round " + std::to_string(rounds) + ": " + problem);
      }
      std::this_thread::sleep_for(20ms);
    }
  });
  int unanswered = 0;
  std::size_t peakResident = 0;
  for (const auto end = Clock::now() + 8s; Clock::now() < end;) {
    unanswered += !pinged(phone);
    peakResident = std::max(peakResident, residentBytes(agent.pid()));
    std::this_thread::sleep_for(2ms);  // leaves the crowd its share of the two cores
  }
  hostile.request_stop();
  hostile.join();
  crowd.stop();

  EXPECT_FALSE(testing_support::processEnded(agent.pid()));
  EXPECT_EQ(problems, std::vector<std::string>());
  EXPECT_GT(rounds, 10);
  EXPECT_EQ(crowd.refused.load(), 0);
  EXPECT_EQ(unanswered, 0);

  // Beyond 64 waiting peers the oldest is closed; an idle media peer goes after 5 s without
  // a ticket. Both are long past for the first of the burst.
  for (std::size_t i = 0; i < 50; ++i) {
    EXPECT_TRUE(crowd.oldestControl[i].closedWithin(1s))
        << "an idle control peer outlived the crowd";
    EXPECT_TRUE(crowd.oldestMedia[i].closedWithin(1s))
        << "an idle media peer outlived its time-out";
  }

  // Refused frames are never buffered toward their announced length.
  EXPECT_LT(peakResident, quietResident + (64u << 20)) << "started at " << quietResident;
}

}  // namespace
}  // namespace lumora::load
