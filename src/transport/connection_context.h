#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "protocol/envelope.h"
#include "router/request_handler.h"
#include "transport/authenticator.h"
#include "transport/media_ticket_store.h"
#include "transport/proof_throttle.h"

namespace lumora::services {
class PTYSession;
}

namespace lumora::transport {

// The protocol state of one peer connection, whatever carries its bytes: the authentication
// gate, media tickets, the connection's interactive terminals; every other authenticated
// request goes to the dispatcher.
//
// The owner feeds process() one envelope's bytes at a time, in arrival order and never
// concurrently, sends what it returns, and calls closeAllSessions() when the connection ends.
// Unsolicited envelopes (terminal output and exit, and the reply to terminal.open, which is
// sent ahead of the new terminal's first output) leave through `outbound`, which must be safe
// to call from any thread and must not block.
class ConnectionContext : public std::enable_shared_from_this<ConnectionContext> {
 public:
  using Outbound = std::function<void(const protocol::Envelope&)>;
  using OutboundHasRoom = std::function<bool()>;

  struct Dependencies {
    router::RequestHandler* dispatcher = nullptr;
    // Absent: the peer starts authenticated.
    std::optional<Authenticator> authenticator;
    // Absent: media.ticket is refused.
    std::shared_ptr<MediaTicketStore> mediaTickets;
    // Where terminal sessions do their I/O.
    boost::asio::any_io_executor terminalExecutor;
    // The shell for a terminal.open that names none.
    std::function<std::string()> defaultShell;
    // Spaces out the pairing proofs of peers at one address after wrong ones; absent: every
    // proof is checked at once. `peerAddress` is the connection's, as the throttle knows it.
    std::shared_ptr<ProofThrottle> proofThrottle;
    std::string peerAddress;
  };

  // `outboundHasRoom`, when given, is asked before a terminal's output is read: while it says
  // no, the terminal's output waits (the connection's peer is not reading).
  static std::shared_ptr<ConnectionContext> create(Dependencies dependencies, Outbound outbound,
                                                   OutboundHasRoom outboundHasRoom = nullptr);
  ~ConnectionContext();

  // Never throws; every problem becomes an error reply. (An owner that cancels a request it no
  // longer wants answered gets the cancellation back as an exception.)
  boost::asio::awaitable<std::optional<protocol::Envelope>> process(protocol::ByteView bytes);

  // Ends every terminal of this connection.
  void closeAllSessions();

  bool authenticated() const { return authenticated_; }
  // This connection among all others, as the dispatcher knows it.
  core::PeerID peerID() const { return peerID_; }
  // auth.complete requests whose proof did not verify, on this connection.
  int failedAuthentications() const { return failedAuthentications_; }
  // A peer that has guessed wrong this often is guessing: its connection (direct or through
  // the relay) ends.
  static constexpr int kMaxFailedAuthentications = 5;
  bool tooManyFailedAuthentications() const {
    return failedAuthentications_ >= kMaxFailedAuthentications;
  }
  std::size_t sessionCount();

 private:
  ConnectionContext(Dependencies dependencies, Outbound outbound, OutboundHasRoom outboundHasRoom);

  // What the gate did with a request: served it here (with a reply, or with none, as terminal
  // input and resize get), or left it to the dispatcher.
  struct Gated {
    Gated() = default;
    Gated(protocol::Envelope envelope) : reply(std::move(envelope)) {}  // NOLINT: implicit
    static Gated toDispatcher() {
      Gated gated;
      gated.served = false;
      return gated;
    }
    bool served = true;
    std::optional<protocol::Envelope> reply;
  };

  Gated gate(const protocol::Envelope& request);
  // Waits, when the throttle says so, before an auth.complete is checked.
  boost::asio::awaitable<void> paceProof();
  void recordProof(bool valid);
  Gated openTerminal(const protocol::TerminalOpenRequest& request,
                     const protocol::MessageID& requestID);
  std::shared_ptr<services::PTYSession> findSession(const std::string& id);
  void closeSession(const std::string& id);

  Dependencies dependencies_;
  Outbound outbound_;
  OutboundHasRoom outboundHasRoom_;
  const core::PeerID peerID_;
  bool authenticated_;
  std::optional<protocol::Bytes> nonce_;
  int failedAuthentications_ = 0;
  std::mutex sessionsLock_;
  std::map<std::string, std::shared_ptr<services::PTYSession>> sessions_;
};

}  // namespace lumora::transport
