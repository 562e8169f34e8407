#pragma once

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

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

}  // namespace lumora::testing_support
