#include "transport/tcp_listeners.h"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_future.hpp>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/eventually.h"

namespace lumora::transport {
namespace {

using namespace std::chrono_literals;

std::chrono::nanoseconds cpuTimeOf(std::thread& thread) {
  clockid_t clock;
  timespec used{};
  if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 ||
      clock_gettime(clock, &used) != 0) {
    return {};
  }
  return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Out of descriptors, the connection waiting in the backlog cannot be taken and accepting again
// fails the same way at once: the loop must pause instead of holding a core, and take the
// connection once descriptors are free again.
TEST(TcpListenersTest, OutOfDescriptorsAcceptingPausesThenRecovers) {
  boost::asio::io_context io;
  TcpListeners listeners(io.get_executor());
  auto work = boost::asio::make_work_guard(io);
  std::thread loop([&] { io.run(); });
  std::atomic<int> accepted{0};
  const std::uint16_t port =
      boost::asio::co_spawn(
          io, listeners.start(0, {"127.0.0.1"}, [&](boost::asio::ip::tcp::socket) { ++accepted; }),
          boost::asio::use_future)
          .get();
  const sockaddr_in address = loopback(port);

  // The undefined-behaviour checker needs a pipe the first time it meets an object's type, and
  // cannot make one while the process is out of descriptors. So what the loop does while starved
  // runs once before: an accepted connection, a pause on a timer, and the end of the start-up's
  // completion handler, which the timer's handler runs after.
  const int first = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(first, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_TRUE(testing_support::eventually([&] { return accepted.load() == 1; }, 5s));
  ::close(first);
  boost::asio::steady_timer pause(io, 1ms);
  std::atomic<bool> paused{false};
  pause.async_wait([&](boost::system::error_code) { paused = true; });
  ASSERT_TRUE(testing_support::eventually([&] { return paused.load(); }, 5s));

  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(client, 0);
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  // No descriptor can be made from here on: the lowest free one is at the limit.
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const int connected =
      ::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address);

  const auto before = cpuTimeOf(loop);
  std::this_thread::sleep_for(400ms);
  const auto spent = cpuTimeOf(loop) - before;
  ::setrlimit(RLIMIT_NOFILE, &saved);

  EXPECT_EQ(connected, 0);
  EXPECT_EQ(accepted.load(), 1);
  EXPECT_LT(spent, 50ms) << "the accept loop spun";
  EXPECT_TRUE(testing_support::eventually([&] { return accepted.load() == 2; }, 5s));

  ::close(client);
  listeners.stop();
  work.reset();
  io.stop();
  loop.join();
}

}  // namespace
}  // namespace lumora::transport
