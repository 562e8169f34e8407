#pragma once

// How a service behaves like an actor: it owns a strand over the shared worker pool and runs
// each operation there, so its operations never overlap and a slow one (a large file, a long
// command) never holds up the network thread. The awaiting coroutine resumes on its own
// executor with the result, or with the exception the work threw.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <type_traits>
#include <utility>

namespace lumora::core {

template <class Executor, class Work>
boost::asio::awaitable<std::invoke_result_t<Work&>> runOn(const Executor& executor, Work work) {
  using Result = std::invoke_result_t<Work&>;
  co_return co_await boost::asio::co_spawn(
      executor,
      [work = std::move(work)]() mutable -> boost::asio::awaitable<Result> {
        if constexpr (std::is_void_v<Result>) {
          work();
          co_return;
        } else {
          co_return work();
        }
      },
      boost::asio::use_awaitable);
}

}  // namespace lumora::core
