#include "transport/connection_context.h"

#include <atomic>
#include <vector>

#include "protocol/auth_crypto.h"
#include "services/terminal/pty_session.h"

namespace lumora::transport {

using protocol::Envelope;
using protocol::MessageID;
using protocol::MessageType;
using protocol::Payload;
using protocol::ProtocolError;

namespace {

Envelope errorReply(const MessageID& to, std::string code, std::string message) {
  return Envelope::response(to, ProtocolError{std::move(code), std::move(message)});
}

// Holds a new terminal's events until its terminal.opened reply has gone out, so the peer
// never sees output for a session it has not been told about. The events of one session come
// from one strand in order; `outbound` only queues, so sending under the lock is cheap.
class OpeningGate {
 public:
  explicit OpeningGate(ConnectionContext::Outbound outbound) : outbound_(std::move(outbound)) {}

  void send(Envelope envelope) {
    std::lock_guard guard(lock_);
    if (open_) {
      outbound_(envelope);
    } else {
      held_.push_back(std::move(envelope));
    }
  }

  void openWith(const Envelope& first) {
    std::lock_guard guard(lock_);
    outbound_(first);
    for (const auto& envelope : held_) outbound_(envelope);
    held_.clear();
    open_ = true;
  }

 private:
  ConnectionContext::Outbound outbound_;
  std::mutex lock_;
  bool open_ = false;
  std::vector<Envelope> held_;
};

core::PeerID nextPeerID() {
  static std::atomic<core::PeerID> last{0};
  return ++last;
}

}  // namespace

std::shared_ptr<ConnectionContext> ConnectionContext::create(Dependencies dependencies,
                                                             Outbound outbound,
                                                             OutboundHasRoom outboundHasRoom) {
  return std::shared_ptr<ConnectionContext>(new ConnectionContext(
      std::move(dependencies), std::move(outbound), std::move(outboundHasRoom)));
}

ConnectionContext::ConnectionContext(Dependencies dependencies, Outbound outbound,
                                     OutboundHasRoom outboundHasRoom)
    : dependencies_(std::move(dependencies)),
      outbound_(std::move(outbound)),
      outboundHasRoom_(std::move(outboundHasRoom)),
      peerID_(nextPeerID()),
      authenticated_(!dependencies_.authenticator.has_value()) {}

ConnectionContext::~ConnectionContext() { closeAllSessions(); }

boost::asio::awaitable<std::optional<Envelope>> ConnectionContext::process(
    protocol::ByteView bytes) {
  auto decoded = Envelope::decode(bytes);
  if (!decoded) {
    Envelope reply = Envelope::request(ProtocolError{"bad_request", "decode failed"});
    co_return reply;
  }
  Envelope request = std::move(decoded).value();
  if (request.payload.messageType() == MessageType::authComplete) co_await paceProof();
  Gated gated = gate(request);
  if (gated.served) co_return std::move(gated.reply);
  co_return co_await dependencies_.dispatcher->handle(std::move(request), peerID_);
}

boost::asio::awaitable<void> ConnectionContext::paceProof() {
  // Only a proof that will be checked waits.
  if (!dependencies_.proofThrottle || !dependencies_.authenticator || !nonce_) co_return;
  co_await dependencies_.proofThrottle->waitForTurn(dependencies_.peerAddress);
}

void ConnectionContext::recordProof(bool valid) {
  if (dependencies_.proofThrottle)
    dependencies_.proofThrottle->record(dependencies_.peerAddress, valid);
}

ConnectionContext::Gated ConnectionContext::gate(const Envelope& request) {
  const MessageID& id = request.id;
  const MessageType type = request.payload.messageType();
  if (protocol::isAgentOnly(type)) return errorReply(id, "unexpected_message", "server-only event");

  switch (type) {
    case MessageType::authBegin:
      nonce_ = protocol::AuthCrypto::randomNonce(32);
      return Envelope::response(id, protocol::AuthChallenge{*nonce_});
    case MessageType::authComplete:
      if (!dependencies_.authenticator || !nonce_) {
        return errorReply(id, "unauthorized", "no challenge issued");
      }
      if (dependencies_.authenticator->verify(
              *nonce_, request.payload.get<MessageType::authComplete>()->mac)) {
        authenticated_ = true;
        recordProof(true);
        return Envelope::response(id, protocol::Ack{});
      }
      ++failedAuthentications_;
      recordProof(false);
      return errorReply(id, "unauthorized", "invalid credentials");
    default:
      break;
  }

  if (!authenticated_) return errorReply(id, "unauthorized", "authentication required");

  switch (type) {
    case MessageType::mediaTicket:
      if (!dependencies_.mediaTickets) {
        return errorReply(id, "unavailable", "media channel not available");
      }
      return Envelope::response(id,
                                protocol::MediaTicketResult{dependencies_.mediaTickets->issue()});
    case MessageType::terminalOpen:
      return openTerminal(*request.payload.get<MessageType::terminalOpen>(), id);
    case MessageType::terminalInput: {
      const auto& input = *request.payload.get<MessageType::terminalInput>();
      if (auto session = findSession(input.sessionId)) session->write(input.data);
      return {};
    }
    case MessageType::terminalResize: {
      const auto& resize = *request.payload.get<MessageType::terminalResize>();
      if (auto session = findSession(resize.sessionId)) session->resize(resize.cols, resize.rows);
      return {};
    }
    case MessageType::terminalClose:
      closeSession(request.payload.get<MessageType::terminalClose>()->sessionId);
      return Envelope::response(id, protocol::Ack{});
    default:
      return Gated::toDispatcher();
  }
}

ConnectionContext::Gated ConnectionContext::openTerminal(
    const protocol::TerminalOpenRequest& request, const MessageID& requestID) {
  const std::string sessionId = protocol::randomUUIDString();
  std::string shell = request.shell                ? *request.shell
                      : dependencies_.defaultShell ? dependencies_.defaultShell()
                                                   : std::string("/bin/sh");
  auto gate = std::make_shared<OpeningGate>(outbound_);
  std::shared_ptr<services::PTYSession> session;
  try {
    session = services::PTYSession::create(dependencies_.terminalExecutor, shell, request.cols,
                                           request.rows);
    session->setOnOutput([gate, sessionId](protocol::Bytes bytes) {
      gate->send(Envelope::request(protocol::TerminalOutput{sessionId, std::move(bytes)}));
    });
    if (outboundHasRoom_) session->setOutputGate(outboundHasRoom_);
    session->setOnExit([gate, sessionId, weak = weak_from_this()](std::int32_t code) {
      gate->send(Envelope::request(protocol::TerminalExit{sessionId, code}));
      if (auto self = weak.lock()) {
        std::lock_guard guard(self->sessionsLock_);
        self->sessions_.erase(sessionId);
      }
    });
    session->start();
  } catch (const std::exception& e) {
    return errorReply(requestID, "internal", e.what());
  }
  {
    std::lock_guard guard(sessionsLock_);
    sessions_[sessionId] = session;
  }
  gate->openWith(Envelope::response(requestID, protocol::TerminalOpened{sessionId}));
  return {};
}

std::shared_ptr<services::PTYSession> ConnectionContext::findSession(const std::string& id) {
  std::lock_guard guard(sessionsLock_);
  auto found = sessions_.find(id);
  return found == sessions_.end() ? nullptr : found->second;
}

void ConnectionContext::closeSession(const std::string& id) {
  std::shared_ptr<services::PTYSession> session;
  {
    std::lock_guard guard(sessionsLock_);
    auto found = sessions_.find(id);
    if (found == sessions_.end()) return;
    session = std::move(found->second);
    sessions_.erase(found);
  }
  session->terminate();
}

void ConnectionContext::closeAllSessions() {
  std::map<std::string, std::shared_ptr<services::PTYSession>> taken;
  {
    std::lock_guard guard(sessionsLock_);
    taken.swap(sessions_);
  }
  for (auto& [id, session] : taken) session->terminate();
}

std::size_t ConnectionContext::sessionCount() {
  std::lock_guard guard(sessionsLock_);
  return sessions_.size();
}

}  // namespace lumora::transport
