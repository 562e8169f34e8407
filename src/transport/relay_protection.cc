#include "transport/relay_protection.h"

#include "protocol/relay_notices.h"

namespace lumora::transport {

namespace asio = boost::asio;
using protocol::Bytes;

std::shared_ptr<RelayProtection> RelayProtection::make(std::shared_ptr<RelaySession> session,
                                                       Options options) {
  return std::shared_ptr<RelayProtection>(
      new RelayProtection(std::move(session), std::move(options)));
}

RelayProtection::RelayProtection(std::shared_ptr<RelaySession> session, Options options)
    : session_(std::move(session)),
      options_(std::move(options)),
      log_(options_.channel == protocol::RelayChannel::control ? "relay" : "relay-media"),
      handshake_(options_.secret, options_.channel),
      pairing_(session_->executor()) {}

RelayProtection::~RelayProtection() = default;

void RelayProtection::noticed(std::string_view text) {
  if (auto account = protocol::RelayNotice::parsePeerJoined(text)) {
    peerKey_ = "relay " + *account;
    arrived();
  }
}

void RelayProtection::arrived() {
  if (arrived_) return;
  arrived_ = true;
  pairing_.expires_after(options_.pairingTimeout);
  pairing_.async_wait([weak = weak_from_this()](boost::system::error_code ec) {
    auto self = weak.lock();
    if (ec || !self) return;
    self->fail("it did not pair within " +
               std::to_string(
                   std::chrono::duration_cast<std::chrono::seconds>(self->options_.pairingTimeout)
                       .count()) +
               " s");
  });
}

void RelayProtection::paired() { pairing_.cancel(); }

void RelayProtection::fail(const std::string& why) {
  if (stage_ == Stage::failed) return;
  stage_ = Stage::failed;
  pairing_.cancel();
  log_.info("leaving the relay session: " + why);
  session_->end();
}

asio::awaitable<std::optional<Bytes>> RelayProtection::receive(Bytes message) {
  arrived();
  switch (stage_) {
    case Stage::hello:
      if (auto challenge = handshake_.challenge(message)) {
        stage_ = Stage::proof;
        session_->send(std::make_shared<const Bytes>(std::move(*challenge)));
      } else {
        fail("the peer did not start the relay handshake");
      }
      break;
    case Stage::proof: {
      auto checking = checkProof(std::move(message));
      co_await std::move(checking);
      break;
    }
    case Stage::open:
      if (auto plaintext = receiving_->open(std::move(message))) co_return std::move(*plaintext);
      fail("a message from the peer did not open (altered, replayed or out of order)");
      break;
    case Stage::failed:
      break;
  }
  co_return std::nullopt;
}

asio::awaitable<void> RelayProtection::checkProof(Bytes proof) {
  // After wrong proofs from this account, the next one waits its turn.
  co_await options_.throttle->waitForTurn(peerKey_);
  const bool valid = handshake_.verify(proof);
  options_.throttle->record(peerKey_, valid);
  if (!valid) {
    fail("the peer did not prove the pairing secret");
    co_return;
  }
  auto ciphers = protocol::RelayCiphers::forAgent(handshake_.keys());
  receiving_.emplace(std::move(ciphers.receiving));
  {
    std::lock_guard guard(sendLock_);
    sending_.emplace(std::move(ciphers.sending));
  }
  stage_ = Stage::open;
  proven_ = true;
}

void RelayProtection::send(Bytes plaintext) {
  std::lock_guard guard(sendLock_);
  if (!sending_) return;
  session_->send(std::make_shared<const Bytes>(sending_->seal(std::move(plaintext))));
}

}  // namespace lumora::transport
