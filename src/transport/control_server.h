#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/limits.h"
#include "transport/connection_context.h"
#include "transport/tcp_listeners.h"

namespace lumora::transport {

// What the server and its connections share; connections keep it alive past the server.
struct ControlRegistry;

// Accepts control connections, cuts each byte stream into frames and feeds them, one at a
// time and in order, to the connection's ConnectionContext; replies and the context's
// unsolicited envelopes go back framed on the same connection through a per-connection write
// queue. The limits below keep peers that never authenticate from holding memory or slots.
//
// Threads: construct, start and stop from one thread (the runtime's); the accept loops and
// connections run on the io executor given, each connection on a strand of its own.
class ControlServer {
 public:
  struct Limits {
    std::uint32_t maxFrameBeforeAuthentication = 64u << 10;
    std::uint32_t maxFrameAfterAuthentication = protocol::kMaxFrameBodyLength;
    std::chrono::milliseconds authenticationTimeout = std::chrono::seconds(30);
    // A new connection beyond this many unauthenticated ones evicts the oldest of them.
    std::size_t maxUnauthenticatedConnections = 64;
    // After wrong proofs from one address, its further proofs (on any connection) are spaced
    // out by a pause that doubles with each failure.
    ProofThrottle::Policy proofPacing;
    // Neither requests nor terminal output are read while more than this many bytes of
    // replies and terminal output wait to be sent, so a peer that does not read cannot make
    // the agent buffer without bound.
    std::size_t maxQueuedReplyBytes = 32u << 20;
  };

  ControlServer(boost::asio::any_io_executor executor, ConnectionContext::Dependencies dependencies,
                Limits limits);
  ControlServer(boost::asio::any_io_executor executor, ConnectionContext::Dependencies dependencies)
      : ControlServer(std::move(executor), std::move(dependencies), Limits()) {}
  ~ControlServer();

  // Binds every host on `port` (0: the system picks one, and every host then shares it) and
  // returns the bound port. An empty host list binds all interfaces. Throws
  // boost::system::system_error when a host cannot be bound.
  boost::asio::awaitable<std::uint16_t> start(std::uint16_t port,
                                              std::vector<std::string> bindHosts);
  // Stops listening and closes every open connection (ending their terminals).
  void stop();
  std::uint16_t boundPort();

  // Called on a connection's strand after it has closed, with the peer its requests went to
  // the dispatcher as; the agent releases the mouse button that peer held here, so a phone that
  // drops mid-drag does not leave a button down.
  void setOnConnectionClosed(std::function<void(core::PeerID)> handler);

  std::size_t connectionCount();

 private:
  TcpListeners listeners_;
  std::shared_ptr<ControlRegistry> registry_;
};

}  // namespace lumora::transport
