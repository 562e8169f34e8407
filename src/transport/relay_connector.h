#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <functional>
#include <memory>
#include <string>

#include "transport/connection_context.h"
#include "transport/relay_link.h"

namespace lumora::transport {

// Serves the control protocol in the agent's relay room: it hosts the room with a proof of the
// room key, runs the relay handshake with each phone that joins (RelayProtection: the phone
// must prove the pairing secret, and the agent proves it back), and then serves it exactly as a
// direct control connection is served: a fresh ConnectionContext (the same authentication gate
// and dispatcher), one sealed envelope per binary WebSocket message, replies and terminal output
// through one write queue. There is no media ticket store behind the relay, so media.ticket is
// answered "unavailable". When the relay closes the socket (the phone left) the terminals opened
// through it end and the room is joined again for the next phone.
//
// Messages are limited as on the control port: 64 KiB until the peer has authenticated, the
// protocol's frame limit after (each plus the seal's tag); a longer one ends the socket. Wrong
// proofs are paced per account the relay names; a phone not paired 30 s after it joined is let
// go.
//
// Threads: construct, connect and stop from one thread (the runtime's); the room is served on a
// strand of `executor`.
class RelayConnector {
 public:
  // `dependencies.mediaTickets` is ignored: the relay has no media channel of the agent's.
  // `dependencies.authenticator` is required: its secret keys the relay handshake and the room.
  RelayConnector(boost::asio::any_io_executor executor, std::string url,
                 ConnectionContext::Dependencies dependencies,
                 RelayLink::Options options = RelayLink::Options());
  ~RelayConnector();
  RelayConnector(const RelayConnector&) = delete;
  RelayConnector& operator=(const RelayConnector&) = delete;

  // Called with true once a phone in the room has authenticated, and with false when that
  // phone's session ends (with the peer its requests went to the dispatcher as, so that a
  // button it held can be let go). Set before connect(); runs on the room's strand.
  using OnPeerChanged = std::function<void(bool present, core::PeerID peer)>;
  void setOnPeerChanged(OnPeerChanged onPeerChanged);

  // Starts joining in the background; logs "relay connector joined " and the URL.
  void connect();
  // Leaves the room (close code 1001), ending the terminals opened through it.
  boost::asio::awaitable<void> stop();

  const std::string& url() const { return link_->url(); }

 private:
  core::AgentLog log_{"relay"};
  std::shared_ptr<OnPeerChanged> onPeerChanged_ = std::make_shared<OnPeerChanged>();
  std::shared_ptr<RelayLink> link_;
};

}  // namespace lumora::transport
