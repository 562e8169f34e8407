#pragma once

#include <sys/socket.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <optional>
#include <stdexcept>

#include "protocol/auth_crypto.h"
#include "protocol/envelope.h"
#include "protocol/frame_codec.h"
#include "protocol/pairing_secret.h"

namespace lumora::testing_support {

// A peer written against the wire format alone: blocking socket, frames by hand. Anything that
// is not what a well-behaved agent sends is thrown, which fails the test that met it.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port) : socket_(io_) {
    socket_.connect(
        boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  }

  void sendRaw(const protocol::Bytes& bytes) {
    boost::asio::write(socket_, boost::asio::buffer(bytes));
  }
  void send(const protocol::Envelope& envelope) {
    sendRaw(protocol::FrameCodec::encode(envelope.encode()));
  }

  // The next envelope, or nothing once the agent has closed the connection.
  std::optional<protocol::Envelope> receive() {
    std::uint8_t prefix[4];
    boost::system::error_code ec;
    boost::asio::read(socket_, boost::asio::buffer(prefix), ec);
    if (ec) return std::nullopt;
    protocol::Bytes body(protocol::FrameCodec::readLength(prefix));
    boost::asio::read(socket_, boost::asio::buffer(body), ec);
    if (ec) return std::nullopt;
    auto decoded = protocol::Envelope::decode(body);
    if (!decoded) throw std::runtime_error("undecodable reply: " + decoded.error().description);
    return *decoded;
  }

  protocol::Envelope ask(protocol::Payload payload) {
    protocol::Envelope request = protocol::Envelope::request(std::move(payload));
    send(request);
    auto reply = receive();
    if (!reply) throw std::runtime_error("the agent closed the connection");
    if (reply->correlationID != request.id) throw std::runtime_error("reply to another request");
    return *reply;
  }

  void authenticate(const protocol::PairingSecret& secret) {
    protocol::Envelope challenge = ask(protocol::AuthBegin{"raw"});
    auto mac = protocol::AuthCrypto::mac(
        secret.data, challenge.payload.get<protocol::MessageType::authChallenge>()->nonce);
    if (ask(protocol::AuthComplete{mac}).payload.messageType() != protocol::MessageType::ack) {
      throw std::runtime_error("pairing rejected");
    }
  }

  // True when the agent closes the connection (reads end) within the limit.
  bool closedByAgent() {
    socket_.non_blocking(false);
    struct timeval limit {
      10, 0
    };
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::uint8_t byte;
    boost::system::error_code ec;
    for (;;) {
      socket_.read_some(boost::asio::buffer(&byte, 1), ec);
      if (ec) return ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset;
    }
  }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
};

}  // namespace lumora::testing_support
