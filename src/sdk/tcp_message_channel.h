#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "sdk/message_channel.h"

namespace lumora::sdk {

// A MessageChannel over one TCP connection to an agent's control port, each message framed
// with a 4-byte big-endian length. The channel runs its own I/O thread; every completion is
// called there. One channel carries one connection: after close() it is not reconnected.
//
// Received messages nobody has asked for yet are kept in order; once they hold more than
// kMaxPendingBytes the channel stops reading from the socket until receive() drains them, so
// a peer can never make it buffer without bound. A frame announcing more than the protocol
// decoder's limit closes the channel.
class TCPMessageChannel : public MessageChannel {
 public:
  static constexpr std::size_t kMaxPendingBytes = 64u << 20;

  TCPMessageChannel(std::string host, std::uint16_t port,
                    std::chrono::duration<double> connectTimeout = std::chrono::seconds(10));
  ~TCPMessageChannel() override;
  TCPMessageChannel(const TCPMessageChannel&) = delete;
  TCPMessageChannel& operator=(const TCPMessageChannel&) = delete;

  // Fails with connectionFailed: "invalid port 0"; the system's text when the host cannot be
  // resolved or refuses; "connect timed out after Ns" (N = whole seconds of the limit).
  // Fails with disconnected when close() is called meanwhile.
  void connect(Completion done) override;
  void send(protocol::Bytes message, Completion done) override;
  void receive(ReceiveCompletion done) override;
  void close() override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace lumora::sdk
