#include "transport/relay_connector.h"

#include <algorithm>

#include <stdexcept>

#include "protocol/limits.h"
#include "transport/relay_protection.h"

namespace lumora::transport {

namespace asio = boost::asio;
using protocol::Bytes;
using protocol::Envelope;

namespace {

// A reply longer than the relay carries would end the phone's session there (a clipboard
// picture, a file chunk asked for whole): it is answered with an error instead.
Bytes withinTheRelaysBound(const Envelope& reply) {
  Bytes bytes = reply.encode();
  if (bytes.size() + protocol::RelayCipher::kTagSize <= protocol::kMaxRelayMessageBytes ||
      !reply.correlationID) {
    return bytes;
  }
  return Envelope::response(
             *reply.correlationID,
             protocol::ProtocolError{
                 "too_large", "the answer (" + std::to_string(bytes.size()) +
                                  " bytes) is larger than the relay carries (" +
                                  std::to_string(protocol::kMaxRelayMessageBytes) + " bytes)"})
      .encode();
}

// One phone's session in the room: the relay handshake first, then its own protocol state
// behind the session's seal, gone with the socket.
class ControlRoomSession : public RelaySessionHandler {
 public:
  ControlRoomSession(std::shared_ptr<RelaySession> session,
                     ConnectionContext::Dependencies dependencies,
                     RelayProtection::Options protection,
                     std::shared_ptr<RelayConnector::OnPeerChanged> onPeerChanged)
      : session_(std::move(session)),
        dependencies_(std::move(dependencies)),
        protection_(RelayProtection::make(session_, std::move(protection))),
        onPeerChanged_(std::move(onPeerChanged)) {}

  void noticed(std::string_view text) override { protection_->noticed(text); }

  asio::awaitable<void> received(Bytes message) override {
    co_await session_->waitForRoom();
    auto opened = co_await protection_->receive(std::move(message));
    if (!opened) co_return;
    if (!context_) context_ = makeContext();
    auto reply = co_await context_->process(*opened);
    if (reply) protection_->send(withinTheRelaysBound(*reply));
    if (!authenticated_ && context_->authenticated()) {
      authenticated_ = true;
      protection_->paired();
      session_->setMaxMessageBytes(protocol::kMaxFrameBodyLength + protocol::RelayCipher::kTagSize);
      if (*onPeerChanged_) (*onPeerChanged_)(true, context_->peerID());
    }
    if (context_->tooManyFailedAuthentications()) {
      log_.info("leaving the relay session: too many failed authentications");
      session_->end();
    }
  }

  void ended() override {
    if (!context_) return;
    context_->closeAllSessions();
    if (authenticated_ && *onPeerChanged_) (*onPeerChanged_)(false, context_->peerID());
  }

 private:
  // Made once the peer has proven the secret, when the account its proofs are paced by is known.
  std::shared_ptr<ConnectionContext> makeContext() {
    std::weak_ptr<RelayProtection> weak = protection_;
    auto outbound = [weak](const Envelope& envelope) {
      if (auto live = weak.lock()) live->send(envelope.encode());
    };
    // Terminal output waits in the terminal while the relay is behind.
    auto hasRoom = [weak] {
      auto live = weak.lock();
      return !live || live->hasRoom();
    };
    dependencies_.peerAddress = protection_->peerKey();
    return ConnectionContext::create(dependencies_, outbound, hasRoom);
  }

  std::shared_ptr<RelaySession> session_;
  ConnectionContext::Dependencies dependencies_;
  std::shared_ptr<RelayProtection> protection_;
  std::shared_ptr<RelayConnector::OnPeerChanged> onPeerChanged_;
  core::AgentLog log_{"relay"};
  std::shared_ptr<ConnectionContext> context_;
  bool authenticated_ = false;
};

}  // namespace

RelayConnector::RelayConnector(asio::any_io_executor executor, std::string url,
                               ConnectionContext::Dependencies dependencies,
                               RelayLink::Options options) {
  dependencies.mediaTickets = nullptr;
  if (!dependencies.authenticator) throw std::invalid_argument("the relay needs the secret");
  // Every relayed peer arrives from the relay's address: wrong proofs are paced per account, as
  // the relay names it, apart from those that reach the control port.
  dependencies.proofThrottle = std::make_shared<ProofThrottle>();
  RelayProtection::Options protection;
  protection.secret = dependencies.authenticator->secret;
  protection.channel = protocol::RelayChannel::control;
  protection.throttle = dependencies.proofThrottle;
  protection.pairingTimeout = options.pairingTimeout;
  options.roomKey = protocol::RoomKey::derive(protection.secret);
  // Until the inner pairing, what is read is held to what the control port reads before it.
  options.maxMessageBytes =
      std::min<std::size_t>(options.maxMessageBytes, (64u << 10) + protocol::RelayCipher::kTagSize);
  link_ = std::make_shared<RelayLink>(
      std::move(executor), std::move(url), "relay", options,
      [dependencies, protection,
       onPeerChanged = onPeerChanged_](std::shared_ptr<RelaySession> session) {
        return std::make_unique<ControlRoomSession>(std::move(session), dependencies, protection,
                                                    onPeerChanged);
      });
}

RelayConnector::~RelayConnector() { link_->stopSoon(); }

void RelayConnector::setOnPeerChanged(OnPeerChanged onPeerChanged) {
  *onPeerChanged_ = std::move(onPeerChanged);
}

void RelayConnector::connect() {
  link_->start();
  log_.info("relay connector joined " + link_->url());
}

asio::awaitable<void> RelayConnector::stop() { co_await link_->stop(); }

}  // namespace lumora::transport
