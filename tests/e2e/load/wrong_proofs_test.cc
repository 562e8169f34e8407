// Someone guessing the pairing code: each wrong proof makes the next one from that address wait
// twice as long, five close the connection, and a phone at another address pairs at once.

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "protocol/auth_crypto.h"
#include "support/agent_process.h"
#include "support/raw_client.h"
#include "transport/proof_throttle.h"

namespace lumora::load {
namespace {

using namespace std::chrono_literals;
using protocol::Envelope;
using protocol::MessageType;
using testing_support::RawClient;
using Clock = std::chrono::steady_clock;

// Starts a handshake and sends a proof made with `secret`, without waiting for the verdict.
protocol::MessageID sendProof(RawClient& client, const protocol::PairingSecret& secret,
                              std::size_t padding = 0) {
  Envelope challenge = client.ask(protocol::AuthBegin{"guesser"});
  protocol::Bytes mac = protocol::AuthCrypto::mac(
      secret.data, challenge.payload.get<MessageType::authChallenge>()->nonce);
  mac.resize(mac.size() + padding, 0x5a);
  Envelope complete = Envelope::request(protocol::AuthComplete{mac});
  client.send(complete);
  return complete.id;
}

void expectRefused(RawClient& client, const protocol::MessageID& proof) {
  auto reply = client.receive();
  ASSERT_TRUE(reply) << "closed before the verdict";
  EXPECT_EQ(reply->correlationID, proof);
  EXPECT_EQ(testing_support::describe(*reply), "unauthorized: invalid credentials");
}

// A pause runs from the moment the agent refused the previous proof, a little before the test
// saw that refusal.
Clock::duration earliest(std::chrono::milliseconds pause) { return pause - pause / 10; }

TEST(WrongProofsTest, EachFailureSlowsItsAddressAndNoOther) {
  testing_support::AgentProcess agent;
  ASSERT_TRUE(agent.serving()) << agent.log();
  const auto wrong = protocol::PairingSecret::generate();
  const transport::ProofThrottle defaults;

  // Five wrong proofs on one connection (one of them 40 KiB of Base64): each waits for the
  // pause the failures before it earned, and the fifth ends the connection.
  RawClient guesser(agent.controlPort());
  for (int failures = 0; failures < 5; ++failures) {
    const auto sent = Clock::now();
    const auto proof = sendProof(guesser, wrong, failures == 2 ? 30 << 10 : 0);
    expectRefused(guesser, proof);
    EXPECT_GE(Clock::now() - sent, earliest(defaults.pauseAfter(failures))) << failures;
  }
  EXPECT_TRUE(guesser.closedWithin());

  // The next guess from that address waits for a longer pause still; meanwhile a phone at
  // another address pairs without waiting behind it.
  RawClient nextGuess(agent.controlPort());
  const auto guessed = Clock::now();
  const auto proof = sendProof(nextGuess, wrong);

  const auto pairing = Clock::now();
  RawClient phone(agent.controlPort(), 0, "127.0.0.2");
  phone.authenticate(agent.secret());
  EXPECT_LT(Clock::now() - pairing, defaults.pauseAfter(5) / 2);
  EXPECT_EQ(phone.ask(protocol::PingRequest{}).payload.messageType(), MessageType::ack);

  expectRefused(nextGuess, proof);
  EXPECT_GE(Clock::now() - guessed, earliest(defaults.pauseAfter(5)));
}

}  // namespace
}  // namespace lumora::load
