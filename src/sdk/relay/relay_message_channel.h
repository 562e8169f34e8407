#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "sdk/message_channel.h"

namespace lumora::sdk {

// A MessageChannel through the relay service: one WebSocket to a relay room (ws:// or wss://),
// each message one binary WebSocket message holding exactly one envelope, with no length
// prefix. Text messages from the relay are skipped. The peer side of a room is admitted by its
// relay token, which the channel appends to the URL as "token=…".
//
// connect() completes once the relay has accepted the WebSocket, so a refused token or an
// unreachable relay fails connect with connectionFailed and the relay's answer (for example
// "the relay refused the connection (HTTP 401)"). send() and receive() before connect fail with
// notConnected; a receive waiting when the relay ends the room fails with disconnected. close()
// says goodbye with WebSocket close code 1001 (going away). One channel carries one connection.
//
// The channel runs its own I/O thread; every completion is called there.
class RelayMessageChannel : public MessageChannel {
 public:
  RelayMessageChannel(std::string url, std::optional<std::string> token,
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
