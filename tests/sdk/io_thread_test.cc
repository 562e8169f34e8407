#include "sdk/internal/io_thread.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/post.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace lumora::sdk::internal {
namespace {

using namespace std::chrono_literals;

// What the child wrote to the pipe before it ended, and whether it ended by exiting.
struct ChildOutcome {
  std::string written;
  bool exited = false;
};

// Runs `body` in a forked child whose writes to the given descriptor come back to the parent.
template <class Body>
ChildOutcome inChild(Body body) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return {};
  std::fflush(nullptr);  // else the child's exit writes out the parent's buffered output again
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeEnds[0]);
    body(pipeEnds[1]);
    ::_exit(99);  // body ends the process itself
  }
  ::close(pipeEnds[1]);
  ChildOutcome outcome;
  char buffer[64];
  for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
    outcome.written.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  // Not the exit status itself: a sanitizer build exits with its own code when the parent had
  // reports before the fork, and the child inherits them.
  outcome.exited = WIFEXITED(status);
  return outcome;
}

// A connection object as the client library has them: its handlers hold it while they run,
// so the last of them may be the one to let it go, on the connection's own thread.
struct Connection {
  IoThread io;
};

// The program returns from main (here: exit) a moment after dropping its last handle, while
// the connection thread still runs a handler that holds the connection. Exit must wait for
// that handler: its libraries (OpenSSL's per-thread state, for one) are torn down by exit
// handlers, and a thread cut off mid-way leaves its work half done.
TEST(IoThreadTest, ExitWaitsForTheHandlerOfAConnectionLetGoAMomentEarlier) {
  const ChildOutcome outcome = inChild([](int out) {
    auto connection = std::make_shared<Connection>();
    std::promise<void> running;
    boost::asio::post(connection->io.context(), [connection, out, &running]() mutable {
      running.set_value();
      std::this_thread::sleep_for(300ms);
      (void)::write(out, "handler finished", 16);
      connection.reset();  // the last handle: the connection goes on its own thread
    });
    running.get_future().wait();
    connection.reset();
    std::exit(0);
  });
  EXPECT_EQ(outcome.written, "handler finished");
  EXPECT_TRUE(outcome.exited);
}

// A handle still held when the program exits: the thread is stopped and joined, the
// running handler allowed to finish, and what was still queued is dropped.
TEST(IoThreadTest, ExitStopsAConnectionStillHeldAfterItsRunningHandler) {
  const ChildOutcome outcome = inChild([](int out) {
    auto* connection = new Connection();  // never released, like a client kept for good
    std::promise<void> running;
    boost::asio::post(connection->io.context(), [out, &running] {
      running.set_value();
      std::this_thread::sleep_for(300ms);
      (void)::write(out, "first", 5);
    });
    boost::asio::post(connection->io.context(), [out] { (void)::write(out, " second", 7); });
    running.get_future().wait();
    std::exit(0);
  });
  EXPECT_EQ(outcome.written, "first");
  EXPECT_TRUE(outcome.exited);
}

}  // namespace
}  // namespace lumora::sdk::internal
