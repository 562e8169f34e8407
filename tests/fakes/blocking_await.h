#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

namespace lumora::fakes {

// Runs one awaitable to completion from a plain test body and returns its result (or rethrows).
template <class T>
T blockingAwait(boost::asio::awaitable<T> work) {
  boost::asio::io_context io;
  auto result = boost::asio::co_spawn(io, std::move(work), boost::asio::use_future);
  io.run();
  return result.get();
}

}  // namespace lumora::fakes
