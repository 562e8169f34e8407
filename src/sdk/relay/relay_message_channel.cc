#include "sdk/relay/relay_message_channel.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <deque>
#include <mutex>

#include "protocol/relay_cipher.h"
#include "sdk/internal/io_thread.h"
#include "sdk/relay/relay_socket.h"
#include "sdk/relay_url.h"
#include "sdk/sdk_error.h"

namespace lumora::sdk {

namespace asio = boost::asio;
using protocol::Bytes;

namespace {

std::exception_ptr errorOf(SDKError error) { return std::make_exception_ptr(std::move(error)); }

// What a joined socket needs once the agent has proven itself: the socket and both directions'
// seals.
struct Session {
  std::shared_ptr<RelaySocket> socket;
  protocol::RelayCiphers ciphers;
};

// The phone's side of the relay handshake on a freshly opened socket; throws SDKError.
asio::awaitable<protocol::RelayCiphers> shakeHands(RelaySocket& socket,
                                                   const protocol::PairingSecret& secret,
                                                   protocol::RelayChannel room,
                                                   std::chrono::milliseconds timeout) {
  protocol::RelayHandshakePhone handshake(secret, room);
  co_await socket.writeBinary(handshake.hello());
  std::optional<RelaySocket::Message> challenge;
  try {
    challenge = co_await socket.readMessage(timeout);
  } catch (const std::exception&) {
    throw SDKError::connectionFailed("the relay ended the room during the handshake");
  }
  if (!challenge) {
    throw SDKError::connectionFailed("the agent did not answer the relay handshake in time");
  }
  auto proof = challenge->text ? std::nullopt : handshake.answer(challenge->data);
  if (!proof) {
    throw SDKError::connectionFailed(
        "the other end of the relay room did not prove the pairing secret: it is not the agent, "
        "or the pairing code is wrong");
  }
  co_await socket.writeBinary(*proof);
  co_return protocol::RelayCiphers::forPhone(handshake.keys());
}

}  // namespace

struct RelayMessageChannel::Impl : std::enable_shared_from_this<Impl> {
  Impl(std::string u, protocol::PairingSecret s, protocol::RelayChannel r,
       std::chrono::milliseconds timeout)
      : url(std::move(u)), secret(std::move(s)), room(r), connectTimeout(timeout) {
    options.handshakeTimeout = timeout;
    options.userAgent = "lumora-sdk";
  }
  ~Impl() { io.stop(); }

  template <class Work>
  void post(Work work) {
    asio::post(io.context(), std::move(work));
  }

  asio::awaitable<void> writeAll(std::shared_ptr<Session> through);

  const std::string url;
  const protocol::PairingSecret secret;
  const protocol::RelayChannel room;
  const std::chrono::milliseconds connectTimeout;
  RelaySocket::Options options;
  internal::IoThread io;

  std::mutex lock;  // guards the two fields below
  std::shared_ptr<Session> session;
  bool closed = false;

  // I/O thread only.
  struct Write {
    Bytes message;
    Completion done;
  };
  std::deque<Write> writes;
  bool writing = false;
};

// Beast takes one write at a time; the rest wait here in order, already sealed.
asio::awaitable<void> RelayMessageChannel::Impl::writeAll(std::shared_ptr<Session> through) {
  writing = true;
  while (!writes.empty()) {
    std::exception_ptr error;
    try {
      co_await through->socket->writeBinary(writes.front().message);
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
                                         protocol::PairingSecret secret,
                                         protocol::RelayChannel room,
                                         std::chrono::milliseconds connectTimeout)
    : impl_(std::make_shared<Impl>(appendingRelayToken(url, token), std::move(secret), room,
                                   connectTimeout)) {}

RelayMessageChannel::~RelayMessageChannel() { close(); }

const std::string& RelayMessageChannel::url() const { return impl_->url; }

void RelayMessageChannel::connect(Completion done) {
  auto opening = [weak = impl_->weak_from_this(), url = impl_->url, options = impl_->options,
                  secret = impl_->secret, room = impl_->room, timeout = impl_->connectTimeout,
                  executor = impl_->io.context().get_executor(),
                  done = std::move(done)]() mutable -> asio::awaitable<void> {
    std::shared_ptr<Session> opened;
    std::exception_ptr error;
    std::shared_ptr<RelaySocket> socket;
    try {
      // Built outside the awaited expression: GCC 12 destroys a temporary handed to a
      // coroutine there twice.
      auto handshake = RelaySocket::open(executor, url, options);
      socket = co_await std::move(handshake);
      auto shaking = shakeHands(*socket, secret, room, timeout);
      auto ciphers = co_await std::move(shaking);
      opened = std::make_shared<Session>(Session{socket, std::move(ciphers)});
    } catch (const SDKError&) {
      error = std::current_exception();
    } catch (const std::exception& e) {
      error = errorOf(SDKError::connectionFailed(e.what()));
    }
    if (!opened && socket) socket->abort();
    if (opened) {
      auto self = weak.lock();
      std::shared_ptr<Session> replaced;
      bool accepted = false;
      if (self) {
        std::lock_guard guard(self->lock);
        if (!self->closed) {
          replaced = std::exchange(self->session, opened);
          accepted = true;
        }
      }
      if (replaced) replaced->socket->abort();
      if (!accepted) {
        opened->socket->abort();
        error = errorOf(SDKError::disconnected());
      }
    }
    done(error);
  };
  asio::co_spawn(impl_->io.context(), std::move(opening), asio::detached);
}

void RelayMessageChannel::send(Bytes message, Completion done) {
  std::shared_ptr<Session> through;
  {
    std::lock_guard guard(impl_->lock);
    through = impl_->session;
  }
  if (!through) {
    impl_->post([done = std::move(done)] { done(errorOf(SDKError::notConnected())); });
    return;
  }
  // Sealed on the I/O thread, in the order the sends were made, which is the order written.
  impl_->post([weak = impl_->weak_from_this(), through, message = std::move(message),
               done = std::move(done)]() mutable {
    auto self = weak.lock();
    if (!self) return done(errorOf(SDKError::disconnected()));
    self->writes.push_back({through->ciphers.sending.seal(std::move(message)), std::move(done)});
    if (!self->writing) {
      asio::co_spawn(self->io.context(), self->writeAll(through), asio::detached);
    }
  });
}

void RelayMessageChannel::receive(ReceiveCompletion done) {
  std::shared_ptr<Session> from;
  bool closed = false;
  {
    std::lock_guard guard(impl_->lock);
    from = impl_->session;
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
      message = co_await from->socket->readBinary();
      received = true;
    } catch (const std::exception&) {
      // The relay ended the room, the network failed, or close() was called.
    }
    if (!received) co_return done({}, errorOf(SDKError::disconnected()));
    auto opened = from->ciphers.receiving.open(std::move(message));
    if (!opened) {
      // Nothing after a message that does not open can be trusted either.
      from->socket->abort();
      co_return done({}, errorOf(SDKError::connectionFailed(
                             "a message through the relay did not open: it was altered, "
                             "replayed or reordered on the way")));
    }
    done(std::move(*opened), nullptr);
  };
  asio::co_spawn(impl_->io.context(), std::move(reading), asio::detached);
}

void RelayMessageChannel::close() {
  std::shared_ptr<Session> closing;
  {
    std::lock_guard guard(impl_->lock);
    impl_->closed = true;
    closing = std::exchange(impl_->session, nullptr);
  }
  if (!closing) return;
  // The closing handshake keeps the channel's thread alive until it is done (or timed out),
  // even when the channel itself is being destroyed.
  auto goodbye = [self = impl_, closing]() -> asio::awaitable<void> {
    co_await closing->socket->close(boost::beast::websocket::close_code::going_away);
  };
  asio::co_spawn(impl_->io.context(), std::move(goodbye), asio::detached);
}

}  // namespace lumora::sdk
