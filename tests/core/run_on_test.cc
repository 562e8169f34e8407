#include "core/run_on.h"

#include <gtest/gtest.h>

#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace lumora::core {
namespace {

namespace asio = boost::asio;

TEST(RunOnTest, WorkRunsOnTheStrandOneAtATimeAndResultsComeBack) {
  asio::io_context io;
  asio::thread_pool pool(4);
  auto strand = asio::make_strand(pool.get_executor());
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  int sum = 0;
  bool threw = false;

  auto client = [&](int value) -> asio::awaitable<void> {
    sum += co_await runOn(strand, [&, value] {
      if (inside.fetch_add(1) != 0) ++overlaps;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      inside.fetch_sub(1);
      return value;
    });
  };
  for (int i = 1; i <= 20; ++i) asio::co_spawn(io, client(i), asio::detached);
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        try {
          co_await runOn(strand, [] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& e) {
          threw = std::string(e.what()) == "boom";
        }
      },
      asio::detached);
  io.run();
  pool.join();

  EXPECT_EQ(sum, 210);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_TRUE(threw);
}

}  // namespace
}  // namespace lumora::core
