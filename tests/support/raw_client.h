#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <cerrno>
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
  // A receive buffer above 0 is set before connecting (to play a peer that reads slowly).
  // `from` picks the local address, e.g. "127.0.0.2" to play a peer on another machine.
  explicit RawClient(std::uint16_t port, int receiveBuffer = 0, const char* from = nullptr)
      : socket_(io_) {
    socket_.open(boost::asio::ip::tcp::v4());
    if (receiveBuffer > 0) {
      socket_.set_option(boost::asio::ip::tcp::socket::receive_buffer_size(receiveBuffer));
    }
    if (from != nullptr) {
      socket_.bind(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(from), 0));
    }
    socket_.connect(
        boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  }

  void sendRaw(const protocol::Bytes& bytes) {
    boost::asio::write(socket_, boost::asio::buffer(bytes));
  }
  void send(const protocol::Envelope& envelope) {
    sendRaw(protocol::FrameCodec::encode(envelope.encode()));
  }

  // The next envelope, or nothing once the agent has closed the connection. Throws when nothing
  // comes for 30 seconds, so a silent agent fails the test instead of hanging it.
  std::optional<protocol::Envelope> receive() {
    std::uint8_t prefix[4];
    if (!readExactly(prefix, sizeof prefix)) return std::nullopt;
    protocol::Bytes body(protocol::FrameCodec::readLength(prefix));
    if (!readExactly(body.data(), body.size())) return std::nullopt;
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

  // True when the agent closes the connection (reads end) within ten seconds; what arrives
  // before that is skipped.
  bool closedByAgent() {
    std::uint8_t byte;
    for (;;) {
      switch (readSome(&byte, 1, 10)) {
        case Read::data:
          continue;
        case Read::ended:
          return true;
        case Read::timedOut:
          return false;
      }
    }
  }

 private:
  enum class Read { data, ended, timedOut };

  // Plain poll and recv: Asio's blocking reads cannot be given a time-out.
  Read readSome(std::uint8_t* data, std::size_t size, int timeoutSeconds,
                std::size_t* got = nullptr) {
    for (;;) {
      pollfd ready{socket_.native_handle(), POLLIN, 0};
      const int polled = ::poll(&ready, 1, timeoutSeconds * 1000);
      if (polled == 0) return Read::timedOut;
      if (polled < 0 && errno == EINTR) continue;
      const ssize_t n = ::recv(socket_.native_handle(), data, size, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return Read::ended;
      if (got) *got = static_cast<std::size_t>(n);
      return Read::data;
    }
  }

  bool readExactly(std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      std::size_t got = 0;
      switch (readSome(data, size, 30, &got)) {
        case Read::data:
          data += got;
          size -= got;
          break;
        case Read::ended:
          return false;
        case Read::timedOut:
          throw std::runtime_error("nothing from the agent for 30 s");
      }
    }
    return true;
  }

  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
};

}  // namespace lumora::testing_support
