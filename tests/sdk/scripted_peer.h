#pragma once

#include <sys/socket.h>

#include <cerrno>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>

#include "protocol/envelope.h"
#include "protocol/frame_codec.h"
#include "sdk/message_channel.h"
#include "sdk/sdk_error.h"

namespace lumora::sdk::test_support {

// The agent's side of one loopback connection, driven step by step by the test: blocking
// reads and writes of frames, envelopes or raw bytes. A read that does not complete within a
// few seconds throws, so a client that fails to send fails its test instead of hanging it.
class ScriptedPeer {
 public:
  ScriptedPeer()
      : acceptor_(io_,
                  boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)),
        socket_(io_) {}

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

  void accept() {
    acceptor_.accept(socket_);
    setReadTimeout(std::chrono::seconds(5));
  }

  void setReadTimeout(std::chrono::milliseconds limit) {
    struct timeval value {};
    value.tv_sec = static_cast<time_t>(limit.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>(limit.count() % 1000 * 1000);
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  }

  // Plain recv() so that the read time-out applies (Asio's blocking reads wait it out).
  protocol::Bytes readExactly(std::size_t count) {
    protocol::Bytes bytes(count);
    std::size_t done = 0;
    while (done < count) {
      ssize_t n = ::recv(socket_.native_handle(), bytes.data() + done, count - done, 0);
      if (n == 0) throw std::runtime_error("client closed the connection");
      if (n < 0) throw std::runtime_error("no data from the client in time");
      done += static_cast<std::size_t>(n);
    }
    return bytes;
  }

  protocol::Bytes receiveFrame() {
    protocol::Bytes prefix = readExactly(4);
    return readExactly(protocol::FrameCodec::readLength(prefix.data()));
  }

  protocol::Envelope receive() {
    auto decoded = protocol::Envelope::decode(receiveFrame());
    if (!decoded) throw std::runtime_error("client sent " + decoded.error().description);
    return *decoded;
  }

  void sendRaw(protocol::ByteView bytes) {
    boost::asio::write(socket_, boost::asio::buffer(bytes));
  }
  void send(const protocol::Envelope& envelope) {
    sendRaw(protocol::FrameCodec::encode(envelope.encode()));
  }
  void reply(const protocol::Envelope& request, protocol::Payload payload) {
    send(protocol::Envelope::response(request.id, std::move(payload)));
  }
  void event(protocol::Payload payload) { send(protocol::Envelope::request(std::move(payload))); }

  // True when the client closes its end within the read time-out.
  bool clientClosed() {
    std::uint8_t buffer[4096];
    for (;;) {
      ssize_t n = ::recv(socket_.native_handle(), buffer, sizeof buffer, 0);
      if (n == 0) return true;
      if (n < 0) return errno == ECONNRESET;
    }
  }

  void close() {
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::ip::tcp::socket socket_;
};

// The SDKError a future fails with; a test failure when it succeeds or fails otherwise.
template <class Future>
SDKError sdkErrorOf(Future&& future) {
  try {
    future.get();
  } catch (const SDKError& error) {
    return error;
  } catch (const std::exception& other) {
    throw std::runtime_error(std::string("expected an SDKError, got: ") + other.what());
  }
  throw std::runtime_error("expected an SDKError, the call succeeded");
}

// Blocking forms of the channel operations, for tests.
inline std::future<void> connectChannel(MessageChannel& channel) {
  auto promise = std::make_shared<std::promise<void>>();
  channel.connect([promise](std::exception_ptr error) {
    error ? promise->set_exception(error) : promise->set_value();
  });
  return promise->get_future();
}

inline std::future<void> sendOn(MessageChannel& channel, protocol::Bytes message) {
  auto promise = std::make_shared<std::promise<void>>();
  channel.send(std::move(message), [promise](std::exception_ptr error) {
    error ? promise->set_exception(error) : promise->set_value();
  });
  return promise->get_future();
}

inline std::future<protocol::Bytes> receiveOn(MessageChannel& channel) {
  auto promise = std::make_shared<std::promise<protocol::Bytes>>();
  channel.receive([promise](protocol::Bytes message, std::exception_ptr error) {
    error ? promise->set_exception(error) : promise->set_value(std::move(message));
  });
  return promise->get_future();
}

}  // namespace lumora::sdk::test_support
