#pragma once

// Awaitables run from plain test bodies.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <optional>
#include <thread>
#include <utility>

namespace lumora::testing_support {

// Runs `io` until `task` completes and returns its result (or rethrows what it threw).
template <class T>
T runAwaitable(boost::asio::io_context& io, boost::asio::awaitable<T> task) {
  auto result = boost::asio::co_spawn(io, std::move(task), boost::asio::use_future);
  io.restart();
  io.run();
  return result.get();
}

// The same on an io_context of its own.
template <class T>
T runAwaitable(boost::asio::awaitable<T> task) {
  boost::asio::io_context io;
  return runAwaitable(io, std::move(task));
}

// An io_context that runs on a thread of its own until destroyed, as a server under test needs;
// run() waits for an awaitable spawned on it.
class ThreadedIo {
 public:
  ThreadedIo() : thread_([this] { io_.run(); }) {}
  ~ThreadedIo() {
    work_.reset();
    thread_.join();
  }
  ThreadedIo(const ThreadedIo&) = delete;
  ThreadedIo& operator=(const ThreadedIo&) = delete;

  boost::asio::io_context::executor_type executor() { return io_.get_executor(); }

  template <class T>
  T run(boost::asio::awaitable<T> task) {
    return boost::asio::co_spawn(io_, std::move(task), boost::asio::use_future).get();
  }

 private:
  boost::asio::io_context io_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_{
      io_.get_executor()};
  std::thread thread_;
};

}  // namespace lumora::testing_support
