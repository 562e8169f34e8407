#pragma once

// Internal to the server: one relay WebSocket connection. Included through server_state.h by
// the server's own units, the ones that know the stream types.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <atomic>
#include <deque>

#include "account/metrics.h"
#include "account/relay_rooms.h"

namespace lumora::account {

// A connection the server can drop when it stops; drop() is thread-safe.
class Droppable {
 public:
  virtual ~Droppable() = default;
  virtual void drop() = 0;
};

// Everything a connection does runs on its strand (its stream's executor): the read loop, the
// write loop and the calls the room makes (posted there). Its partner is touched only through
// the thread-safe RelayEndpoint calls.
template <class Stream>
class RelayConnection final : public RelayEndpoint,
                              public Droppable,
                              public std::enable_shared_from_this<RelayConnection<Stream>> {
 public:
  using WebSocket = boost::beast::websocket::stream<Stream>;

  RelayConnection(WebSocket socket, std::shared_ptr<RelayRooms> rooms, std::string room,
                  RelaySide side, std::string account, RelayLimits limits,
                  std::shared_ptr<ServiceMetrics> metrics)
      : ws_(std::move(socket)),
        rooms_(std::move(rooms)),
        metrics_(std::move(metrics)),
        relayed_(side == RelaySide::host ? metrics_->bytesHostToPeer : metrics_->bytesPeerToHost),
        room_(std::move(room)),
        side_(side),
        account_(std::move(account)),
        limits_(limits),
        readResume_(ws_.get_executor()) {
    // Alone in the room, what it sends goes nowhere: no reason to take much of it.
    ws_.read_message_max(limits_.maxAloneMessageBytes);
  }

  WebSocket& socket() { return ws_; }

  // After the upgrade was accepted: reads and writes until either side or the room ends it.
  void start() {
    namespace asio = boost::asio;
    asio::co_spawn(ws_.get_executor(), readLoop(this->shared_from_this()), asio::detached);
    writeNext();  // the partner may have sent before the upgrade completed
  }

  // The upgrade failed after the room was joined: give the slot back.
  void abandon() { end(); }

  // Closes the connection at once (the server is stopping).
  void drop() override {
    boost::asio::post(ws_.get_executor(), [self = this->shared_from_this()] { self->dropNow(); });
  }

  void pairWith(std::shared_ptr<RelayEndpoint> partner) override {
    boost::asio::post(ws_.get_executor(),
                      [self = this->shared_from_this(), partner = std::move(partner)]() mutable {
                        if (self->ended_) return;
                        self->partner_ = std::move(partner);
                        self->ws_.read_message_max(self->limits_.maxMessageBytes);
                      });
  }

  void notice(std::string text) override {
    auto storage = std::make_shared<const std::string>(std::move(text));
    RelayMessage message{storage, storage->data(), storage->size(), true};
    queuedBytes_.fetch_add(message.size, std::memory_order_relaxed);
    boost::asio::post(ws_.get_executor(),
                      [self = this->shared_from_this(), message] { self->enqueue(message); });
  }

  const std::string& account() const override { return account_; }

  void partnerLeft() override {
    boost::asio::post(ws_.get_executor(), [self = this->shared_from_this()] { self->closeSoon(); });
  }

  // Once the rooms are draining, every close (this one's and its partner's) says 1012.
  void closeForRestart() override { partnerLeft(); }

  void deliver(RelayMessage message) override {
    // Counted at once, so the sender sees its own messages in the bound before they land.
    queuedBytes_.fetch_add(message.size, std::memory_order_relaxed);
    // Dispatched: when this side's strand is free, the write starts right here on the
    // sender's thread, without waking another.
    boost::asio::dispatch(ws_.get_executor(), [self = this->shared_from_this(),
                                               message = std::move(message)]() mutable {
      self->enqueue(std::move(message));
    });
  }

  std::size_t queuedBytes() const override { return queuedBytes_.load(std::memory_order_relaxed); }

  void resumeReading() override {
    boost::asio::post(ws_.get_executor(),
                      [self = this->shared_from_this()] { self->readResume_.cancel(); });
  }

  void closeAsSlowReader() override {
    boost::asio::post(ws_.get_executor(), [self = this->shared_from_this()] { self->dropNow(); });
  }

 private:
  using Self = std::shared_ptr<RelayConnection>;

  // On the strand: what is queued is written, then the close.
  void closeSoon() {
    partner_.reset();
    closing_ = true;
    readResume_.cancel();
    if (started_ && !writing_) writeNext();
  }

  // On the strand.
  void enqueue(RelayMessage message) {
    if (ended_ || closing_) {
      queuedBytes_.fetch_sub(message.size, std::memory_order_relaxed);
      return;
    }
    queue_.push_back(std::move(message));
    if (started_ && !writing_) writeNext();
  }

  static boost::asio::awaitable<void> readLoop(Self self) {
    namespace asio = boost::asio;
    using asio::as_tuple;
    using asio::use_awaitable;
    // Each message is read into a buffer of its own that then travels to the partner as it
    // is. Reserving what the last message needed lets a large one come in with few reads.
    std::size_t expected = 64 * 1024;
    for (;;) {
      auto buffer = std::make_shared<boost::beast::flat_buffer>();
      buffer->reserve(expected);
      auto [ec, size] = co_await self->ws_.async_read(*buffer, as_tuple(use_awaitable));
      if (ec == boost::beast::websocket::error::message_too_big) {
        self->metrics_->countLimit("relay_message_size");
      }
      if (ec || self->ended_) break;
      expected = std::clamp<std::size_t>(size, 4096, 1u << 20);
      // Only binary messages are relayed; text (a probe, a browser's chatter) goes nowhere.
      auto partner = self->partner_.lock();
      if (self->ws_.got_binary() && partner && !self->closing_) {
        const auto data = buffer->data();
        self->relayed_.add(static_cast<double>(data.size()));
        partner->deliver(RelayMessage{buffer, data.data(), data.size()});
        // A partner dropped for falling behind leaves the room, which closes this side
        // normally in its turn.
        co_await self->waitForPartnerToCatchUp();
      }
    }
    self->end();
  }

  // Holds reading while the partner's queue is over its bound; drops a partner that does not
  // catch up in time.
  boost::asio::awaitable<void> waitForPartnerToCatchUp() {
    namespace asio = boost::asio;
    for (auto partner = partner_.lock();
         partner && !closing_ && !ended_ && partner->queuedBytes() > limits_.maxQueuedBytes;
         partner = partner_.lock()) {
      readResume_.expires_after(limits_.stallTimeout);
      auto [ec] = co_await readResume_.async_wait(asio::as_tuple(asio::use_awaitable));
      if (!ec && partner->queuedBytes() > limits_.maxQueuedBytes) {
        metrics_->countLimit("relay_slow_reader");
        partner->closeAsSlowReader();
        co_return;
      }
    }
  }

  // On the strand: writes the queue's front, one write at a time; once the queue is empty
  // after the partner left, closes normally, so the next session in this room starts on a
  // fresh connection.
  void writeNext() {
    namespace websocket = boost::beast::websocket;
    started_ = true;
    if (ended_ || writing_) return;
    if (queue_.empty()) {
      if (closing_ && !closeSent_) {
        closeSent_ = true;
        writing_ = true;
        const auto code = rooms_->draining() ? websocket::close_code::service_restart
                                             : websocket::close_code::normal;
        ws_.async_close(code, [self = this->shared_from_this()](boost::beast::error_code) {
          self->writing_ = false;
          self->end();
        });
      }
      return;
    }
    writing_ = true;
    const RelayMessage& message = queue_.front();
    ws_.text(message.text);
    ws_.async_write(boost::asio::const_buffer(message.data, message.size),
                    [self = this->shared_from_this(), storage = message.storage](
                        boost::beast::error_code ec, std::size_t) { self->written(ec); });
  }

  void written(const boost::beast::error_code& ec) {
    writing_ = false;
    if (ended_) return;  // end() has already counted the queue out
    const std::size_t size = queue_.front().size;
    queue_.pop_front();
    const std::size_t before = queuedBytes_.fetch_sub(size, std::memory_order_relaxed);
    if (ec) {
      end();
      return;
    }
    const std::size_t bound = limits_.maxQueuedBytes;
    if (before > bound && before - size <= bound) {
      if (auto partner = partner_.lock()) partner->resumeReading();
    }
    writeNext();
  }

  // Drops the connection without a closing handshake.
  void dropNow() {
    boost::beast::error_code ignored;
    boost::beast::get_lowest_layer(ws_).socket().close(ignored);
    end();
  }

  // On the strand; idempotent. Leaves the room (which tells the partner) and stops both loops.
  void end() {
    if (ended_) return;
    ended_ = true;
    std::size_t dropped = 0;
    for (const auto& message : queue_) dropped += message.size;
    queuedBytes_.fetch_sub(dropped, std::memory_order_relaxed);
    queue_.clear();
    partner_.reset();
    readResume_.cancel();
    rooms_->leave(room_, side_, this);
  }

  WebSocket ws_;
  std::shared_ptr<RelayRooms> rooms_;
  const std::shared_ptr<ServiceMetrics> metrics_;
  MetricsRegistry::Counter& relayed_;  // bytes read from this side and handed to its partner
  const std::string room_;
  const RelaySide side_;
  const std::string account_;
  const RelayLimits limits_;
  boost::asio::steady_timer readResume_;  // wakes the read loop: the partner caught up
  // Weak: each side is kept alive by its own reads and writes, never by the other.
  std::weak_ptr<RelayEndpoint> partner_;
  std::deque<RelayMessage> queue_;
  std::atomic<std::size_t> queuedBytes_{0};  // in queue_ and being written
  bool started_ = false;                     // the upgrade is done: writing may begin
  bool writing_ = false;                     // a write or the close is in flight
  bool closing_ = false;                     // close normally once the queue is written
  bool closeSent_ = false;
  bool ended_ = false;
};

}  // namespace lumora::account
