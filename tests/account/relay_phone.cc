#include "relay_phone.h"

namespace lumora::account::testing {

RelayPhone::RelayPhone(const std::string& serviceUrl, const std::string& room,
                       const std::string& token, const protocol::PairingSecret& secret,
                       protocol::RelayChannel channel)
    : socket_(serviceUrl, "/relay/" + room + "?token=" + token), handshake_(secret, channel) {}

bool RelayPhone::handshake(bool wrongProof) {
  socket_.sendBinary(std::string(protocol::asText(handshake_.hello())));
  auto challenge = socket_.receive();
  if (!challenge || !challenge->binary) return false;
  auto proof = handshake_.answer(protocol::asBytes(challenge->data));
  if (!proof) return false;
  if (wrongProof) proof->back() ^= 1;
  socket_.sendBinary(std::string(protocol::asText(*proof)));
  ciphers_.emplace(protocol::RelayCiphers::forPhone(handshake_.keys()));
  return true;
}

void RelayPhone::sendSealed(const protocol::Bytes& plaintext) {
  socket_.sendBinary(std::string(protocol::asText(ciphers_->sending.seal(plaintext))));
}

std::optional<protocol::Bytes> RelayPhone::receiveSealed(std::chrono::milliseconds limit) {
  auto message = socket_.receive(limit);
  if (!message || !message->binary) return std::nullopt;
  return ciphers_->receiving.open(protocol::bytesOf(message->data));
}

}  // namespace lumora::account::testing
