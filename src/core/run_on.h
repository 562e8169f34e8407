#pragma once

// How a service behaves like an actor: it owns a strand over the shared worker pool and runs
// each operation there, so its operations never overlap and a slow one (a large file, a long
// command) never holds up the network thread. The awaiting coroutine resumes on its own
// executor with the result, or with the exception the work threw.
//
// GCC 12 destroys a coroutine's by-value arguments twice when they are moved into a lambda
// that is a temporary of the awaited expression; callers build their work lambda as a local
// first and move it in, and runOn itself keeps every temporary out of its co_await.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <type_traits>
#include <utility>

namespace lumora::core {

namespace run_on_detail {

template <class Work>
boost::asio::awaitable<std::invoke_result_t<Work&>> invoke(Work work) {
  if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
    work();
    co_return;
  } else {
    co_return work();
  }
}

}  // namespace run_on_detail

template <class Executor, class Work>
boost::asio::awaitable<std::invoke_result_t<Work&>> runOn(const Executor& executor, Work work) {
  auto task = run_on_detail::invoke(std::move(work));
  auto onExecutor = boost::asio::co_spawn(executor, std::move(task), boost::asio::use_awaitable);
  co_return co_await std::move(onExecutor);
}

}  // namespace lumora::core
