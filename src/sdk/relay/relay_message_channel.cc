#include "sdk/relay/relay_message_channel.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <deque>
#include <mutex>

#include "sdk/internal/io_thread.h"
#include "sdk/relay/relay_socket.h"
#include "sdk/relay_url.h"
#include "sdk/sdk_error.h"

namespace lumora::sdk {

namespace asio = boost::asio;
using protocol::Bytes;

namespace {

std::exception_ptr errorOf(SDKError error) { return std::make_exception_ptr(std::move(error)); }

}  // namespace

struct RelayMessageChannel::Impl : std::enable_shared_from_this<Impl> {
  Impl(std::string u, std::chrono::milliseconds timeout) : url(std::move(u)) {
    options.handshakeTimeout = timeout;
    options.userAgent = "lumora-sdk";
  }
  ~Impl() { io.stop(); }

  template <class Work>
  void post(Work work) {
    asio::post(io.context(), std::move(work));
  }

  asio::awaitable<void> writeAll(std::shared_ptr<RelaySocket> socket);

  const std::string url;
  RelaySocket::Options options;
  internal::IoThread io;

  std::mutex lock;  // guards the two fields below
  std::shared_ptr<RelaySocket> socket;
  bool closed = false;

  // I/O thread only.
  struct Write {
    Bytes message;
    Completion done;
  };
  std::deque<Write> writes;
  bool writing = false;
};

// Beast takes one write at a time; the rest wait here in order.
asio::awaitable<void> RelayMessageChannel::Impl::writeAll(std::shared_ptr<RelaySocket> through) {
  writing = true;
  while (!writes.empty()) {
    std::exception_ptr error;
    try {
      co_await through->writeBinary(writes.front().message);
    } catch (const std::exception& e) {
      error = errorOf(SDKError::connectionFailed(e.what()));
    }
    Completion done = std::move(writes.front().done);
    writes.pop_front();
    done(error);
  }
  writing = false;
}

RelayMessageChannel::RelayMessageChannel(std::string url, std::optional<std::string> token,
                                         std::chrono::milliseconds connectTimeout)
    : impl_(std::make_shared<Impl>(appendingRelayToken(url, token), connectTimeout)) {}

RelayMessageChannel::~RelayMessageChannel() { close(); }

const std::string& RelayMessageChannel::url() const { return impl_->url; }

void RelayMessageChannel::connect(Completion done) {
  auto opening = [weak = impl_->weak_from_this(), url = impl_->url, options = impl_->options,
                  executor = impl_->io.context().get_executor(),
                  done = std::move(done)]() mutable -> asio::awaitable<void> {
    std::shared_ptr<RelaySocket> opened;
    std::exception_ptr error;
    try {
      // Built outside the awaited expression: GCC 12 destroys a temporary handed to a
      // coroutine there twice.
      auto handshake = RelaySocket::open(executor, url, options);
      opened = co_await std::move(handshake);
    } catch (const std::exception& e) {
      error = errorOf(SDKError::connectionFailed(e.what()));
    }
    if (opened) {
      auto self = weak.lock();
      std::shared_ptr<RelaySocket> replaced;
      bool accepted = false;
      if (self) {
        std::lock_guard guard(self->lock);
        if (!self->closed) {
          replaced = std::exchange(self->socket, opened);
          accepted = true;
        }
      }
      if (replaced) replaced->abort();
      if (!accepted) {
        opened->abort();
        error = errorOf(SDKError::disconnected());
      }
    }
    done(error);
  };
  asio::co_spawn(impl_->io.context(), std::move(opening), asio::detached);
}

void RelayMessageChannel::send(Bytes message, Completion done) {
  std::shared_ptr<RelaySocket> through;
  {
    std::lock_guard guard(impl_->lock);
    through = impl_->socket;
  }
  if (!through) {
    impl_->post([done = std::move(done)] { done(errorOf(SDKError::notConnected())); });
    return;
  }
  impl_->post([weak = impl_->weak_from_this(), through, message = std::move(message),
               done = std::move(done)]() mutable {
    auto self = weak.lock();
    if (!self) return done(errorOf(SDKError::disconnected()));
    self->writes.push_back({std::move(message), std::move(done)});
    if (!self->writing) {
      asio::co_spawn(self->io.context(), self->writeAll(through), asio::detached);
    }
  });
}

void RelayMessageChannel::receive(ReceiveCompletion done) {
  std::shared_ptr<RelaySocket> from;
  bool closed = false;
  {
    std::lock_guard guard(impl_->lock);
    from = impl_->socket;
    closed = impl_->closed;
  }
  if (!from) {
    auto error = closed ? SDKError::disconnected() : SDKError::notConnected();
    impl_->post([done = std::move(done), error]() { done({}, errorOf(error)); });
    return;
  }
  auto reading = [from, done = std::move(done)]() mutable -> asio::awaitable<void> {
    Bytes message;
    bool received = false;
    try {
      message = co_await from->readBinary();
      received = true;
    } catch (const std::exception&) {
      // The relay ended the room, the network failed, or close() was called.
    }
    if (received) {
      done(std::move(message), nullptr);
    } else {
      done({}, errorOf(SDKError::disconnected()));
    }
  };
  asio::co_spawn(impl_->io.context(), std::move(reading), asio::detached);
}

void RelayMessageChannel::close() {
  std::shared_ptr<RelaySocket> closing;
  {
    std::lock_guard guard(impl_->lock);
    impl_->closed = true;
    closing = std::exchange(impl_->socket, nullptr);
  }
  if (!closing) return;
  // The closing handshake keeps the channel's thread alive until it is done (or timed out),
  // even when the channel itself is being destroyed.
  auto goodbye = [self = impl_, closing]() -> asio::awaitable<void> {
    co_await closing->close(boost::beast::websocket::close_code::going_away);
  };
  asio::co_spawn(impl_->io.context(), std::move(goodbye), asio::detached);
}

}  // namespace lumora::sdk
