#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "protocol/pairing_secret.h"
#include "protocol/relay_handshake.h"
#include "sdk/message_channel.h"

namespace lumora::sdk {

// A MessageChannel through the relay service's protected relay (docs/relay-protocol.md): one
// WebSocket to a relay room (ws:// or wss://) in which the channel runs the relay handshake with
// the agent, keyed by the pairing secret, and then carries each message sealed, as one binary
// WebSocket message (one envelope in the control room, one media frame in the media room). Text
// messages from the relay are skipped. The peer side of a room is admitted by its relay token,
// which the channel appends to the URL as "token=…".
//
// connect() completes once the agent has proven that it knows the pairing secret. It fails with
// connectionFailed and the reason: the relay's refusal ("the relay refused the connection (HTTP
// 404: the agent is not in its relay room)"), an unreachable relay, an agent that does not
// answer the handshake within the time-out, or "the other end of the relay room did not prove
// the pairing secret" (an impostor, or a wrong pairing code). send() and receive() before
// connect fail with notConnected; a receive waiting when the relay ends the room fails with
// disconnected, and one that meets a message that does not open (altered, replayed, reordered)
// fails with connectionFailed and ends the channel. close() says goodbye with WebSocket close
// code 1001 (going away). One channel carries one connection.
//
// The channel runs its own I/O thread; every completion is called there.
class RelayMessageChannel : public MessageChannel {
 public:
  RelayMessageChannel(std::string url, std::optional<std::string> token,
                      protocol::PairingSecret secret, protocol::RelayChannel room,
                      std::chrono::milliseconds connectTimeout = std::chrono::seconds(10));
  ~RelayMessageChannel() override;
  RelayMessageChannel(const RelayMessageChannel&) = delete;
  RelayMessageChannel& operator=(const RelayMessageChannel&) = delete;

  // The URL the channel connects to, token included.
  const std::string& url() const;

  void connect(Completion done) override;
  void send(protocol::Bytes message, Completion done) override;
  void receive(ReceiveCompletion done) override;
  void close() override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace lumora::sdk
