#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "protocol/bytes.h"
#include "protocol/limits.h"

namespace lumora::sdk {

// Why a relay connection could not be opened, in words fit for a person.
class RelaySocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One client WebSocket to a relay room, plain (ws://) or over TLS (wss://: the system's trusted
// roots, or the file SSL_CERT_FILE names; SNI sent and the host name checked). Both sides of
// the relay, the client library's channel and the agent, speak through it.
//
// Threads: not thread-safe. Every call, and the completion of every operation, happens on the
// executor given to open(), which must run its handlers one at a time (an io_context with one
// thread, or a strand). At most one read and one write may be outstanding at once; close() may
// overlap both.
class RelaySocket {
 public:
  struct Options {
    // A longer incoming message fails the read and closes the socket (WebSocket close 1009).
    std::size_t maxMessageBytes = protocol::kMaxFrameBodyLength;
    // For the TCP connect, the TLS and WebSocket handshakes, and the closing handshake.
    std::chrono::milliseconds handshakeTimeout = std::chrono::seconds(10);
    // With nothing heard for half of this the socket pings the relay; with nothing heard for
    // all of it the connection is taken as dead.
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(60);
    // Sent as User-Agent in the upgrade request.
    std::string userAgent = "lumora";
  };

  // Connects to `url` and completes the WebSocket handshake. Throws RelaySocketError: "invalid
  // relay url …", "the relay refused the connection (HTTP 403)", or the network's or TLS
  // layer's own description of what failed.
  static boost::asio::awaitable<std::unique_ptr<RelaySocket>> open(
      boost::asio::any_io_executor executor, std::string url, Options options);

  ~RelaySocket();
  RelaySocket(const RelaySocket&) = delete;
  RelaySocket& operator=(const RelaySocket&) = delete;

  // The next binary message; text messages are skipped. Throws boost::system::system_error once
  // the connection has closed or failed.
  boost::asio::awaitable<protocol::Bytes> readBinary();
  // The next message, binary or text (the relay's own notices). Throws as readBinary().
  struct Message {
    bool text = false;
    protocol::Bytes data;
  };
  boost::asio::awaitable<Message> readMessage();
  // The same within `limit`: nothing when no message comes in time (the socket is then closed).
  boost::asio::awaitable<std::optional<Message>> readMessage(std::chrono::milliseconds limit);
  // Sends `message` as one binary message. Throws boost::system::system_error on failure.
  boost::asio::awaitable<void> writeBinary(protocol::ByteView message);
  // Sends `message` as one text message (a notice to the relay itself).
  boost::asio::awaitable<void> writeText(std::string_view message);
  // The closing handshake with `code` and no reason; never throws.
  boost::asio::awaitable<void> close(std::uint16_t code);
  // Drops the connection without a handshake; outstanding operations fail. Never throws.
  void abort();

  void setMaxMessageBytes(std::size_t bytes);

  // The close code the relay sent, 0 when it sent none (yet), and the reason it gave.
  std::uint16_t closeCode() const;
  std::string closeReason() const;

 private:
  struct Impl;
  explicit RelaySocket(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumora::sdk
