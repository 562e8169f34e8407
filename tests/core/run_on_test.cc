#include "core/run_on.h"

#include <gtest/gtest.h>

#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <thread>

namespace lumora::core {
namespace {

namespace asio = boost::asio;

// What the work throws comes back as well: every failed file operation's error reply
// (dispatcher_test, hostile_file_system_test) travels that way.
TEST(RunOnTest, WorkRunsOnTheStrandOneAtATimeAndResultsComeBack) {
  asio::io_context io;
  asio::thread_pool pool(4);
  auto strand = asio::make_strand(pool.get_executor());
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  int sum = 0;

  auto client = [&](int value) -> asio::awaitable<void> {
    sum += co_await runOn(strand, [&, value] {
      if (inside.fetch_add(1) != 0) ++overlaps;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      inside.fetch_sub(1);
      return value;
    });
  };
  for (int i = 1; i <= 20; ++i) asio::co_spawn(io, client(i), asio::detached);
  io.run();
  pool.join();

  EXPECT_EQ(sum, 210);
  EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
}  // namespace lumora::core
