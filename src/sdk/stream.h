#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace lumora::sdk {

namespace detail {

// The state one Stream shares with the library code that writes into it.
template <class T>
class StreamState {
 public:
  using SizeOf = std::function<std::size_t(const T&)>;

  StreamState(std::size_t maxBufferedBytes, SizeOf sizeOf)
      : maxBufferedBytes_(maxBufferedBytes), sizeOf_(std::move(sizeOf)) {}

  // Writer side. Appends `value` unless the stream has ended; drops it (and counts the drop)
  // when the unread elements already hold maxBufferedBytes. False when not appended.
  bool push(T value) {
    std::size_t size = sizeOf_(value) + kElementOverhead;
    {
      std::lock_guard guard(lock_);
      if (finished_) return false;
      if (bufferedBytes_ + size > maxBufferedBytes_) {
        ++dropped_;
        return false;
      }
      bufferedBytes_ += size;
      items_.push_back(std::move(value));
    }
    changed_.notify_all();
    return true;
  }

  // Writer side: no more elements; readers drain what is buffered and then see the end.
  void finish() {
    {
      std::lock_guard guard(lock_);
      finished_ = true;
    }
    changed_.notify_all();
  }

  // Called once, when the reader drops the stream before its end.
  void setOnAbandon(std::function<void()> onAbandon) {
    std::lock_guard guard(lock_);
    onAbandon_ = std::move(onAbandon);
  }

  void abandon() {
    std::function<void()> onAbandon;
    {
      std::lock_guard guard(lock_);
      bool wasFinished = finished_;
      finished_ = true;
      items_.clear();
      bufferedBytes_ = 0;
      if (!wasFinished) onAbandon = std::move(onAbandon_);
      onAbandon_ = nullptr;
    }
    changed_.notify_all();
    if (onAbandon) onAbandon();
  }

  template <class Deadline>
  std::optional<T> next(const Deadline& deadline) {
    std::unique_lock guard(lock_);
    if (!changed_.wait_until(guard, deadline, [&] { return !items_.empty() || finished_; })) {
      return std::nullopt;
    }
    return popLocked();
  }

  std::optional<T> next() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return !items_.empty() || finished_; });
    return popLocked();
  }

  std::optional<T> tryNext() {
    std::lock_guard guard(lock_);
    return popLocked();
  }

  bool ended() const {
    std::lock_guard guard(lock_);
    return finished_ && items_.empty();
  }

  std::uint64_t droppedCount() const {
    std::lock_guard guard(lock_);
    return dropped_;
  }

 private:
  // Accounts for the bookkeeping of an element, so that empty elements cannot pile up freely.
  static constexpr std::size_t kElementOverhead = 64;

  std::optional<T> popLocked() {
    if (items_.empty()) return std::nullopt;
    T value = std::move(items_.front());
    items_.pop_front();
    bufferedBytes_ -= sizeOf_(value) + kElementOverhead;
    return value;
  }

  const std::size_t maxBufferedBytes_;
  const SizeOf sizeOf_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::deque<T> items_;
  std::size_t bufferedBytes_ = 0;
  std::uint64_t dropped_ = 0;
  bool finished_ = false;
  std::function<void()> onAbandon_;
};

}  // namespace detail

// The reading end of a sequence of values that the library produces in the background
// (terminal output, media frames): values come out in arrival order, then the stream ends.
// Values are buffered until read, up to a byte limit; past it new values are dropped and
// counted, so a peer that outpaces the reader cannot exhaust memory.
//
// Any thread may read; reads block as documented. Destroying (or moving from) the stream
// before it has ended abandons it, which for a media stream closes the media connection.
template <class T>
class Stream {
 public:
  // An empty stream that has already ended.
  Stream() = default;
  explicit Stream(std::shared_ptr<detail::StreamState<T>> state) : state_(std::move(state)) {}
  Stream(Stream&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
  Stream& operator=(Stream&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  ~Stream() { release(); }

  // The next value, waiting as long as it takes; nothing once the stream has ended.
  std::optional<T> next() { return state_ ? state_->next() : std::nullopt; }

  // The next value, waiting at most `limit`; nothing on time-out or at the end (see ended()).
  template <class Rep, class Period>
  std::optional<T> next(std::chrono::duration<Rep, Period> limit) {
    return state_ ? state_->next(std::chrono::steady_clock::now() + limit) : std::nullopt;
  }

  // The next value if one is buffered, without waiting.
  std::optional<T> tryNext() { return state_ ? state_->tryNext() : std::nullopt; }

  // True once the producer has finished and every value has been read.
  bool ended() const { return !state_ || state_->ended(); }

  // Values dropped because the reader fell too far behind.
  std::uint64_t droppedCount() const { return state_ ? state_->droppedCount() : 0; }

 private:
  void release() {
    if (state_) std::exchange(state_, nullptr)->abandon();
  }

  std::shared_ptr<detail::StreamState<T>> state_;
};

}  // namespace lumora::sdk
