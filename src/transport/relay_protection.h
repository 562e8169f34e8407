#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/agent_log.h"
#include "protocol/relay_cipher.h"
#include "protocol/relay_handshake.h"
#include "transport/proof_throttle.h"
#include "transport/relay_link.h"

namespace lumora::transport {

// The agent's end of the protected relay on one joined room socket (docs/relay-protocol.md):
// answers the phone's handshake, paces wrong proofs per account, then opens every message the
// phone sends and seals every message to it. Nothing but the handshake's challenge reaches the
// peer before it has proven the pairing secret, and nothing it sends before then is taken for a
// request. A message that breaks the handshake or does not open ends the session, and so does a
// peer that is not paired `pairingTimeout` after it arrived.
//
// Threads: noticed(), receive() and paired() on the session's strand; send(), proven() and
// hasRoom() from any thread.
class RelayProtection : public std::enable_shared_from_this<RelayProtection> {
 public:
  struct Options {
    protocol::PairingSecret secret;
    protocol::RelayChannel channel = protocol::RelayChannel::control;
    // Shared by every session of one room.
    std::shared_ptr<ProofThrottle> throttle;
    std::chrono::milliseconds pairingTimeout = std::chrono::seconds(30);
  };

  static std::shared_ptr<RelayProtection> make(std::shared_ptr<RelaySession> session,
                                               Options options);
  ~RelayProtection();

  // A notice of the relay's: the peer that joined, and through which account.
  void noticed(std::string_view text);
  // One binary message from the room: the phone's plaintext once the session is proven,
  // nothing while the handshake runs or after the session was ended.
  boost::asio::awaitable<std::optional<protocol::Bytes>> receive(protocol::Bytes message);
  // The peer is now served (in the control room, after its inner pairing too): the pairing
  // time-out no longer applies.
  void paired();

  bool proven() const { return proven_.load(); }
  // The peer as proofs are paced: "relay " and its account.
  const std::string& peerKey() const { return peerKey_; }

  // Seals `plaintext` and queues it for the phone, in call order; dropped before the proof or
  // after the session ended.
  void send(protocol::Bytes plaintext);
  bool hasRoom() const { return session_->hasRoom(); }

 private:
  RelayProtection(std::shared_ptr<RelaySession> session, Options options);
  void arrived();
  void fail(const std::string& why);
  boost::asio::awaitable<void> checkProof(protocol::Bytes proof);

  std::shared_ptr<RelaySession> session_;
  Options options_;
  core::AgentLog log_;
  protocol::RelayHandshakeAgent handshake_;
  std::string peerKey_ = "relay";
  std::atomic<bool> proven_{false};

  // Strand only.
  enum class Stage { hello, proof, open, failed } stage_ = Stage::hello;
  std::optional<protocol::RelayCipher> receiving_;
  boost::asio::steady_timer pairing_;
  bool arrived_ = false;

  std::mutex sendLock_;  // guards sending_: sealing and queueing go together, in order
  std::optional<protocol::RelayCipher> sending_;
};

}  // namespace lumora::transport
