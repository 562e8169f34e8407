#include "sdk/media_client.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <mutex>
#include <vector>

#include "protocol/frame_codec.h"
#include "protocol/pairing_secret.h"
#include "sdk/internal/io_thread.h"
#include "sdk/internal/reply.h"
#include "sdk/internal/tcp_connect.h"
#include "sdk/relay/relay_message_channel.h"
#include "sdk/sdk_error.h"

namespace lumora::sdk {

namespace asio = boost::asio;
using asio::ip::tcp;
using protocol::MediaFrame;

namespace {

constexpr std::size_t kReadSize = 1u << 20;

using FrameState = detail::StreamState<MediaFrame>;

// One media connection: its socket (or relay channel), its own frame decoder and the stream it
// feeds.
struct MediaConnection {
  explicit MediaConnection(asio::io_context& io) : socket(std::make_shared<tcp::socket>(io)) {}

  std::shared_ptr<tcp::socket> socket;
  // Set for a connection through the relay, whose messages arrive on the channel's thread.
  std::shared_ptr<RelayMessageChannel> relay;
  protocol::MediaFrameDecoder decoder;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kReadSize);
  std::shared_ptr<FrameState> frames;
};

}  // namespace

struct MediaClient::Impl : std::enable_shared_from_this<Impl> {
  explicit Impl(std::chrono::duration<double> timeout) : connectTimeout(timeout) {}
  ~Impl() { io.stop(); }

  // Ends `connection` if it is still the current one (any connection when null).
  void disconnect(const std::shared_ptr<MediaConnection>& connection = nullptr);
  void startRead(std::shared_ptr<MediaConnection> connection);
  void receiveRelayed(std::shared_ptr<MediaConnection> connection);
  // Ties a new stream to `connection` unless it is no longer the current one.
  std::shared_ptr<FrameState> attachStream(const std::shared_ptr<MediaConnection>& connection);

  const std::chrono::duration<double> connectTimeout;
  internal::IoThread io;

  std::mutex lock;  // guards `current`
  std::shared_ptr<MediaConnection> current;
};

void MediaClient::Impl::disconnect(const std::shared_ptr<MediaConnection>& connection) {
  std::shared_ptr<MediaConnection> taken;
  {
    std::lock_guard guard(lock);
    if (connection && current != connection) return;
    taken = std::move(current);
    current = nullptr;
  }
  if (!taken) return;
  if (taken->relay) taken->relay->close();
  asio::post(io.context(), [socket = taken->socket] {
    boost::system::error_code ignored;
    socket->close(ignored);
  });
  if (taken->frames) taken->frames->finish();
}

void MediaClient::Impl::startRead(std::shared_ptr<MediaConnection> connection) {
  MediaConnection& state = *connection;
  state.socket->async_read_some(
      asio::buffer(state.buffer),
      [weak = weak_from_this(), connection](boost::system::error_code ec, std::size_t n) {
        auto self = weak.lock();
        if (!self) return;
        {
          std::lock_guard guard(self->lock);
          if (self->current != connection) return;
        }
        if (n > 0) {
          for (MediaFrame& frame :
               connection->decoder.push(protocol::ByteView(connection->buffer.data(), n))) {
            connection->frames->push(std::move(frame));
          }
          // Bytes that are not media frames: nothing more on this connection can be trusted.
          if (connection->decoder.failed()) return self->disconnect(connection);
        }
        if (ec) return self->disconnect(connection);
        self->startRead(connection);
      });
}

std::shared_ptr<FrameState> MediaClient::Impl::attachStream(
    const std::shared_ptr<MediaConnection>& connection) {
  auto frames = std::make_shared<FrameState>(kMaxBufferedBytes,
                                             [](const MediaFrame& f) { return f.payload.size(); });
  {
    std::lock_guard guard(lock);
    // disconnect() or a newer connect() may have come while connecting.
    if (current != connection) return nullptr;
    connection->frames = frames;
  }
  std::weak_ptr<MediaConnection> weakConnection = connection;
  frames->setOnAbandon([weak = weak_from_this(), weakConnection] {
    auto owner = weak.lock();
    auto abandoned = weakConnection.lock();
    if (owner && abandoned) owner->disconnect(abandoned);
  });
  return frames;
}

// Each relayed message holds one media frame, opened by the channel.
void MediaClient::Impl::receiveRelayed(std::shared_ptr<MediaConnection> connection) {
  connection->relay->receive(
      [weak = weak_from_this(), connection](protocol::Bytes message, std::exception_ptr error) {
        auto self = weak.lock();
        if (!self) return;
        {
          std::lock_guard guard(self->lock);
          if (self->current != connection) return;
        }
        if (error) return self->disconnect(connection);
        for (MediaFrame& frame : connection->decoder.push(message)) {
          connection->frames->push(std::move(frame));
        }
        if (connection->decoder.failed()) return self->disconnect(connection);
        self->receiveRelayed(connection);
      });
}

MediaClient::MediaClient(std::chrono::duration<double> connectTimeout)
    : impl_(std::make_shared<Impl>(connectTimeout)) {}

MediaClient::~MediaClient() { impl_->disconnect(); }

void MediaClient::disconnect() { impl_->disconnect(); }

std::future<Stream<MediaFrame>> MediaClient::connectViaRelay(std::string url,
                                                             std::optional<std::string> token,
                                                             std::string pairingCode) {
  auto secret = protocol::PairingSecret::fromCode(pairingCode);
  if (!secret) {
    return internal::failedFuture<Stream<MediaFrame>>(
        SDKError::connectionFailed("invalid pairing code"));
  }
  internal::SharedPromise<Stream<MediaFrame>> promise;
  auto future = promise.future();
  auto connection = std::make_shared<MediaConnection>(impl_->io.context());
  connection->relay = std::make_shared<RelayMessageChannel>(
      std::move(url), std::move(token), std::move(*secret), protocol::RelayChannel::media,
      std::chrono::duration_cast<std::chrono::milliseconds>(impl_->connectTimeout));
  impl_->disconnect();
  {
    std::lock_guard guard(impl_->lock);
    impl_->current = connection;
  }
  connection->relay->connect(
      [weak = impl_->weak_from_this(), connection, promise](std::exception_ptr error) {
        auto self = weak.lock();
        if (!self) return promise.fail(std::make_exception_ptr(SDKError::disconnected()));
        if (error) {
          self->disconnect(connection);
          return promise.fail(error);
        }
        auto frames = self->attachStream(connection);
        if (!frames) return promise.fail(std::make_exception_ptr(SDKError::disconnected()));
        self->receiveRelayed(connection);
        promise.succeed(Stream<MediaFrame>(std::move(frames)));
      });
  return future;
}

std::future<Stream<MediaFrame>> MediaClient::connect(std::string host, std::uint16_t port,
                                                     std::string ticket) {
  if (auto invalid = internal::checkPort(port)) {
    std::promise<Stream<MediaFrame>> promise;
    promise.set_exception(invalid);
    return promise.get_future();
  }
  internal::SharedPromise<Stream<MediaFrame>> promise;
  auto future = promise.future();
  auto connection = std::make_shared<MediaConnection>(impl_->io.context());
  impl_->disconnect();
  {
    std::lock_guard guard(impl_->lock);
    impl_->current = connection;
  }
  asio::post(impl_->io.context(), [weak = impl_->weak_from_this(), connection, host, port,
                                   ticket = std::move(ticket), promise]() mutable {
    auto self = weak.lock();
    if (!self) return promise.fail(std::make_exception_ptr(SDKError::disconnected()));
    internal::connectWithTimeout(
        connection->socket, std::move(host), port, self->connectTimeout,
        "media connect timed out after ",
        [weak, connection] {
          auto me = weak.lock();
          if (!me) return true;
          std::lock_guard guard(me->lock);
          return me->current != connection;
        },
        [weak, connection, ticket = std::move(ticket), promise](std::exception_ptr error) {
          auto me = weak.lock();
          if (!me) return promise.fail(std::make_exception_ptr(SDKError::disconnected()));
          if (error) {
            me->disconnect(connection);
            return promise.fail(error);
          }
          auto frames = me->attachStream(connection);
          if (!frames) return promise.fail(std::make_exception_ptr(SDKError::disconnected()));

          // The ticket goes out as one frame; whether it was accepted shows only in whether
          // frames follow.
          auto ticketFrame = std::make_shared<protocol::Bytes>(
              protocol::FrameCodec::encode(protocol::asBytes(ticket)));
          asio::async_write(*connection->socket, asio::buffer(*ticketFrame),
                            [ticketFrame](boost::system::error_code, std::size_t) {});
          me->startRead(connection);
          promise.succeed(Stream<MediaFrame>(std::move(frames)));
        });
  });
  return future;
}

}  // namespace lumora::sdk
