// The protected relay's cryptography: the room key, the session handshake and sealed messages
// reproduce the vectors in docs/relay-protocol-vectors.json (computed with WebCrypto, which the
// browser client uses), and every check refuses what it exists to refuse.

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <fstream>
#include <sstream>

#include "protocol/hex.h"
#include "protocol/relay_cipher.h"
#include "protocol/relay_handshake.h"
#include "protocol/room_key.h"

namespace lumora::protocol {
namespace {

namespace json = boost::json;

json::object loadVectors() {
  std::ifstream file(LUMORA_DOCS_DIR "/relay-protocol-vectors.json");
  std::stringstream text;
  text << file.rdbuf();
  return json::parse(text.str()).as_object();
}

Bytes hexOf(const json::value& value) { return bytesFromHex(value.as_string()).value(); }
std::string textOf(const json::value& value) { return std::string(value.as_string()); }

class RelayVectorsTest : public ::testing::Test {
 protected:
  json::object vectors_ = loadVectors();
  PairingSecret secret_{hexOf(vectors_.at("secret"))};
  const json::object& roomKey_ = vectors_.at("roomKey").as_object();
};

TEST_F(RelayVectorsTest, TheRoomKeyItsFingerprintAndItsProofs) {
  const RoomKey key = RoomKey::derive(secret_);
  EXPECT_EQ(hexString(key.publicKey()), textOf(roomKey_.at("publicKey")));
  EXPECT_EQ(key.fingerprint(), textOf(roomKey_.at("fingerprint")));
  for (const auto& proof : roomKey_.at("hostProofs").as_array()) {
    const auto& vector = proof.as_object();
    const std::string room = textOf(vector.at("room"));
    const Bytes challenge = hexOf(vector.at("challenge"));
    EXPECT_EQ(hexString(hostProofMessage(room, challenge)), textOf(vector.at("message")));
    EXPECT_EQ(hexString(key.hostProof(room, challenge)), textOf(vector.at("signature")));
  }
  const auto& registration = roomKey_.at("registration").as_object();
  const std::string account = textOf(registration.at("account"));
  const std::string nonce = textOf(registration.at("nonce"));
  EXPECT_EQ(hexString(registrationMessage(account, nonce)), textOf(registration.at("message")));
  EXPECT_EQ(hexString(key.registrationProof(account, nonce)), textOf(registration.at("signature")));
}

TEST_F(RelayVectorsTest, HandshakesAndSealedMessagesOfBothRooms) {
  for (const auto& entry : vectors_.at("handshakes").as_array()) {
    const auto& vector = entry.as_object();
    const RelayChannel channel =
        textOf(vector.at("channel")) == "control" ? RelayChannel::control : RelayChannel::media;
    SCOPED_TRACE(textOf(vector.at("channel")));
    RelayHandshakePhone phone(secret_, channel, hexOf(vectors_.at("phoneNonce")));
    RelayHandshakeAgent agent(secret_, channel, hexOf(vectors_.at("agentNonce")));

    const Bytes hello = phone.hello();
    EXPECT_EQ(hexString(hello), textOf(vector.at("hello")));
    const auto challenge = agent.challenge(hello);
    ASSERT_TRUE(challenge);
    EXPECT_EQ(hexString(*challenge), textOf(vector.at("challenge")));
    const auto proof = phone.answer(*challenge);
    ASSERT_TRUE(proof);
    EXPECT_EQ(hexString(*proof), textOf(vector.at("proof")));
    ASSERT_TRUE(agent.verify(*proof));
    EXPECT_EQ(hexString(agent.keys().agentToPhone), textOf(vector.at("agentToPhoneKey")));
    EXPECT_EQ(hexString(agent.keys().phoneToAgent), textOf(vector.at("phoneToAgentKey")));
    EXPECT_EQ(phone.keys().agentToPhone, agent.keys().agentToPhone);
    EXPECT_EQ(phone.keys().phoneToAgent, agent.keys().phoneToAgent);

    auto phoneEnd = RelayCiphers::forPhone(phone.keys());
    auto agentEnd = RelayCiphers::forAgent(agent.keys());
    for (const auto& sealed : vector.at("sealed").as_array()) {
      const auto& message = sealed.as_object();
      const bool fromPhone = textOf(message.at("from")) == "phone";
      auto& sender = fromPhone ? phoneEnd.sending : agentEnd.sending;
      auto& receiver = fromPhone ? agentEnd.receiving : phoneEnd.receiving;
      ASSERT_EQ(sender.count(), static_cast<std::uint64_t>(message.at("counter").as_int64()));
      const Bytes plaintext = hexOf(message.at("plaintext"));
      const Bytes wire = sender.seal(plaintext);
      EXPECT_EQ(hexString(wire), textOf(message.at("sealed")));
      EXPECT_EQ(receiver.open(wire), plaintext);
    }
  }
}

class RelayHandshakeTest : public ::testing::Test {
 protected:
  PairingSecret secret_ = PairingSecret::generate();
};

TEST_F(RelayHandshakeTest, AProofBelongsToOneSessionAndOneRoom) {
  // A proof recorded in one session does not open the next one: the agent's nonce is fresh.
  RelayHandshakePhone phone(secret_, RelayChannel::control);
  RelayHandshakeAgent first(secret_, RelayChannel::control);
  const Bytes recorded = *phone.answer(*first.challenge(phone.hello()));
  ASSERT_TRUE(first.verify(recorded));
  RelayHandshakeAgent second(secret_, RelayChannel::control);
  second.challenge(phone.hello());
  EXPECT_FALSE(second.verify(recorded));

  // A control room's challenge spliced into the media room does not verify at the phone.
  RelayHandshakePhone viewer(secret_, RelayChannel::media);
  RelayHandshakeAgent control(secret_, RelayChannel::control);
  EXPECT_FALSE(viewer.answer(*control.challenge(viewer.hello())));

  // The agent's own MAC sent back to it as a proof (a reflection) is no proof. (That an end
  // without the secret cannot prove it is the relay channel's and the agent's tests'.)
  RelayHandshakeAgent agent(secret_, RelayChannel::control);
  const Bytes challenge = *agent.challenge(phone.hello());
  Bytes reflected{0x01, 0x03};
  reflected.insert(reflected.end(), challenge.begin() + 34, challenge.end());
  EXPECT_FALSE(agent.verify(reflected));
}

class RelayCipherTest : public ::testing::Test {
 protected:
  RelaySessionKeys keys_{Bytes(32, 7), Bytes(32, 9)};
  RelayCiphers agent_ = RelayCiphers::forAgent(keys_);
  RelayCiphers phone_ = RelayCiphers::forPhone(keys_);
};

TEST_F(RelayCipherTest, WhatWasAlteredCutReplayedReorderedOrReflectedDoesNotOpen) {
  const Bytes first = agent_.sending.seal(bytesOf("first"));
  const Bytes second = agent_.sending.seal(bytesOf("second"));
  EXPECT_NE(first, second);
  EXPECT_EQ(first.size(), 5 + RelayCipher::kTagSize);

  auto attempt = [&](const Bytes& wire) {
    RelayCiphers fresh = RelayCiphers::forPhone(keys_);
    return fresh.receiving.open(wire).has_value();
  };
  Bytes altered = first;
  altered[0] ^= 1;
  EXPECT_FALSE(attempt(altered));
  EXPECT_FALSE(attempt(Bytes(first.begin(), first.end() - 1)));
  EXPECT_FALSE(attempt(second));  // reordered, or the first one dropped
  EXPECT_TRUE(attempt(first));

  // A message sent back to its sender does not open there: each direction has its own key.
  EXPECT_FALSE(RelayCiphers::forAgent(keys_).receiving.open(first));

  ASSERT_EQ(phone_.receiving.open(first), bytesOf("first"));
  EXPECT_FALSE(phone_.receiving.open(first));  // replayed
  // Once broken, the direction stays broken: the genuine next message is refused as well.
  EXPECT_FALSE(phone_.receiving.open(second));
}

}  // namespace
}  // namespace lumora::protocol
