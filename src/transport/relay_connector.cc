#include "transport/relay_connector.h"

#include <algorithm>

#include "protocol/limits.h"

namespace lumora::transport {

namespace asio = boost::asio;
using protocol::Bytes;
using protocol::Envelope;

namespace {

// As on the control port: a peer that keeps proving the wrong secret is let go.
constexpr int kMaxFailedAuthentications = 5;

// One phone's session in the room: its own protocol state, gone with the socket.
class ControlRoomSession : public RelaySessionHandler {
 public:
  ControlRoomSession(std::shared_ptr<RelaySession> session,
                     ConnectionContext::Dependencies dependencies,
                     std::shared_ptr<RelayConnector::OnPeerChanged> onPeerChanged)
      : session_(std::move(session)), onPeerChanged_(std::move(onPeerChanged)) {
    std::weak_ptr<RelaySession> weak = session_;
    auto outbound = [weak](const Envelope& envelope) {
      if (auto live = weak.lock()) live->send(std::make_shared<const Bytes>(envelope.encode()));
    };
    // Terminal output waits in the terminal while the relay is behind.
    auto hasRoom = [weak] {
      auto live = weak.lock();
      return !live || live->hasRoom();
    };
    context_ = ConnectionContext::create(std::move(dependencies), outbound, hasRoom);
  }

  asio::awaitable<void> received(Bytes message) override {
    co_await session_->waitForRoom();
    auto reply = co_await context_->process(message);
    if (reply) session_->send(std::make_shared<const Bytes>(reply->encode()));
    if (!authenticated_ && context_->authenticated()) {
      authenticated_ = true;
      session_->setMaxMessageBytes(protocol::kMaxFrameBodyLength);
      if (*onPeerChanged_) (*onPeerChanged_)(true, context_->peerID());
    }
    if (context_->failedAuthentications() >= kMaxFailedAuthentications) {
      log_.info("leaving the relay session: too many failed authentications");
      session_->end();
    }
  }

  void ended() override {
    context_->closeAllSessions();
    if (authenticated_ && *onPeerChanged_) (*onPeerChanged_)(false, context_->peerID());
  }

 private:
  std::shared_ptr<RelaySession> session_;
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
  // Every relayed peer arrives from the relay's address; wrong proofs are paced together.
  if (!dependencies.proofThrottle) dependencies.proofThrottle = std::make_shared<ProofThrottle>();
  dependencies.peerAddress = "relay";
  options.maxMessageBytes = std::min<std::size_t>(options.maxMessageBytes, 64u << 10);
  link_ = std::make_shared<RelayLink>(
      std::move(executor), std::move(url), "relay", options,
      [dependencies, onPeerChanged = onPeerChanged_](std::shared_ptr<RelaySession> session) {
        return std::make_unique<ControlRoomSession>(std::move(session), dependencies,
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
