#include "sdk/tcp_message_channel.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "protocol/frame_codec.h"
#include "sdk/internal/io_thread.h"
#include "sdk/internal/tcp_connect.h"
#include "sdk/sdk_error.h"

namespace lumora::sdk {

namespace asio = boost::asio;
using asio::ip::tcp;
using protocol::Bytes;

namespace {

constexpr std::size_t kReadSize = 65536;

std::exception_ptr errorOf(SDKError error) { return std::make_exception_ptr(std::move(error)); }

}  // namespace

struct TCPMessageChannel::Impl : std::enable_shared_from_this<Impl> {
  Impl(std::string h, std::uint16_t p, std::chrono::duration<double> t)
      : host(std::move(h)), port(p), connectTimeout(t) {}

  ~Impl() {
    // The socket and the queued completions go only after the thread no longer touches them.
    io.stop();
  }

  // Runs `work` on the I/O thread, if this object still exists by then.
  template <class Work>
  void post(Work work) {
    asio::post(io.context(), [weak = weak_from_this(), work = std::move(work)]() mutable {
      if (auto self = weak.lock()) work(*self);
    });
  }

  void connect(Completion done);
  void send(Bytes message, Completion done);
  void receive(ReceiveCompletion done);
  void close();

  // I/O thread only.
  void startRead(std::shared_ptr<tcp::socket> socket);
  void onRead(std::shared_ptr<tcp::socket> socket, boost::system::error_code ec, std::size_t n);
  void deliver(Bytes message);
  void writeNext();

  const std::string host;
  const std::uint16_t port;
  const std::chrono::duration<double> connectTimeout;
  // Declared before everything the thread's handlers touch, so it is torn down last.
  internal::IoThread io;

  std::mutex lock;  // guards the four fields below
  std::shared_ptr<tcp::socket> connection;
  std::deque<Bytes> pending;
  std::size_t pendingBytes = 0;
  ReceiveCompletion waiter;
  bool closed = false;

  // I/O thread only.
  protocol::FrameDecoder decoder;
  std::shared_ptr<std::vector<std::uint8_t>> readBuffer =
      std::make_shared<std::vector<std::uint8_t>>(kReadSize);
  bool readPaused = false;
  struct Write {
    std::shared_ptr<tcp::socket> socket;
    protocol::OutgoingFrame frame;
    Completion done;
  };
  std::deque<Write> writes;
  bool writing = false;
};

void TCPMessageChannel::Impl::connect(Completion done) {
  if (auto invalid = internal::checkPort(port)) {
    post([done = std::move(done), invalid](Impl&) { done(invalid); });
    return;
  }
  std::shared_ptr<tcp::socket> socket;
  {
    std::lock_guard guard(lock);
    if (closed) {
      socket = nullptr;
    } else {
      socket = std::make_shared<tcp::socket>(io.context());
      connection = socket;
    }
  }
  if (!socket) {
    post([done = std::move(done)](Impl&) { done(errorOf(SDKError::disconnected())); });
    return;
  }
  post([socket, done = std::move(done)](Impl& self) mutable {
    internal::connectWithTimeout(
        socket, self.host, self.port, self.connectTimeout, "connect timed out after ",
        [weak = self.weak_from_this(), socket] {
          auto me = weak.lock();
          if (!me) return true;
          std::lock_guard guard(me->lock);
          return me->closed || me->connection != socket;
        },
        [weak = self.weak_from_this(), socket, done = std::move(done)](std::exception_ptr error) {
          auto me = weak.lock();
          if (!me) return done(errorOf(SDKError::disconnected()));
          if (!error) {
            std::lock_guard guard(me->lock);
            // close() may have come between the connection and this handler.
            if (me->closed || me->connection != socket) error = errorOf(SDKError::disconnected());
          }
          if (error) return done(error);
          me->startRead(socket);
          done(nullptr);
        });
  });
}

void TCPMessageChannel::Impl::send(Bytes message, Completion done) {
  std::shared_ptr<tcp::socket> socket;
  {
    std::lock_guard guard(lock);
    socket = connection;
  }
  if (!socket) {
    post([done = std::move(done)](Impl&) { done(errorOf(SDKError::notConnected())); });
    return;
  }
  protocol::OutgoingFrame frame(std::move(message));
  post([socket, frame = std::move(frame), done = std::move(done)](Impl& self) mutable {
    self.writes.push_back({std::move(socket), std::move(frame), std::move(done)});
    if (!self.writing) self.writeNext();
  });
}

// Writes go out one frame at a time: two overlapping writes on one socket could interleave.
void TCPMessageChannel::Impl::writeNext() {
  if (writes.empty()) {
    writing = false;
    return;
  }
  writing = true;
  Write& next = writes.front();
  std::array<asio::const_buffer, 2> pieces{asio::buffer(next.frame.prefix),
                                           asio::buffer(next.frame.body)};
  asio::async_write(*next.socket, pieces,
                    [weak = weak_from_this()](boost::system::error_code ec, std::size_t) {
                      auto self = weak.lock();
                      if (!self) return;
                      Completion done = std::move(self->writes.front().done);
                      self->writes.pop_front();
                      done(ec ? errorOf(SDKError::connectionFailed(ec.message())) : nullptr);
                      self->writeNext();
                    });
}

void TCPMessageChannel::Impl::receive(ReceiveCompletion done) {
  std::unique_lock guard(lock);
  if (closed) {
    guard.unlock();
    post([done = std::move(done)](Impl&) { done({}, errorOf(SDKError::disconnected())); });
    return;
  }
  if (!pending.empty()) {
    Bytes message = std::move(pending.front());
    pending.pop_front();
    pendingBytes -= message.size();
    guard.unlock();
    post([message = std::move(message), done = std::move(done)](Impl& self) mutable {
      done(std::move(message), nullptr);
      self.startRead(nullptr);  // resumes a paused read loop once there is room again
    });
    return;
  }
  if (waiter) {
    guard.unlock();
    throw std::logic_error("TCPMessageChannel: a receive is already outstanding");
  }
  waiter = std::move(done);
}

void TCPMessageChannel::Impl::close() {
  std::shared_ptr<tcp::socket> socket;
  ReceiveCompletion waiting;
  {
    std::lock_guard guard(lock);
    closed = true;
    socket = std::move(connection);
    connection = nullptr;
    pending.clear();
    pendingBytes = 0;
    waiting = std::move(waiter);
    waiter = nullptr;
  }
  if (socket) {
    post([socket](Impl&) {
      boost::system::error_code ignored;
      socket->close(ignored);
    });
  }
  if (waiting) {
    post([waiting = std::move(waiting)](Impl&) { waiting({}, errorOf(SDKError::disconnected())); });
  }
}

// With a null socket: resume a read loop paused for room, if there is room again.
void TCPMessageChannel::Impl::startRead(std::shared_ptr<tcp::socket> socket) {
  {
    std::lock_guard guard(lock);
    if (!socket) {
      if (!readPaused || pendingBytes > kMaxPendingBytes) return;
      socket = connection;
    }
    if (!socket || closed) return;
    readPaused = pendingBytes > kMaxPendingBytes;
    if (readPaused) return;
  }
  socket->async_read_some(asio::buffer(*readBuffer),
                          [weak = weak_from_this(), socket, buffer = readBuffer](
                              boost::system::error_code ec, std::size_t n) {
                            if (auto self = weak.lock()) self->onRead(socket, ec, n);
                          });
}

void TCPMessageChannel::Impl::onRead(std::shared_ptr<tcp::socket> socket,
                                     boost::system::error_code ec, std::size_t n) {
  if (n > 0) {
    for (Bytes& message : decoder.push(protocol::ByteView(readBuffer->data(), n))) {
      deliver(std::move(message));
    }
    if (decoder.failed()) return close();
  }
  if (ec) return close();  // end of stream or a read error
  startRead(std::move(socket));
}

void TCPMessageChannel::Impl::deliver(Bytes message) {
  ReceiveCompletion waiting;
  {
    std::lock_guard guard(lock);
    if (closed) return;
    if (!waiter) {
      pendingBytes += message.size();
      pending.push_back(std::move(message));
      return;
    }
    waiting = std::move(waiter);
    waiter = nullptr;
  }
  waiting(std::move(message), nullptr);
}

TCPMessageChannel::TCPMessageChannel(std::string host, std::uint16_t port,
                                     std::chrono::duration<double> connectTimeout)
    : impl_(std::make_shared<Impl>(std::move(host), port, connectTimeout)) {}

TCPMessageChannel::~TCPMessageChannel() { impl_->close(); }

void TCPMessageChannel::connect(Completion done) { impl_->connect(std::move(done)); }

void TCPMessageChannel::send(Bytes message, Completion done) {
  impl_->send(std::move(message), std::move(done));
}

void TCPMessageChannel::receive(ReceiveCompletion done) { impl_->receive(std::move(done)); }

void TCPMessageChannel::close() { impl_->close(); }

}  // namespace lumora::sdk
