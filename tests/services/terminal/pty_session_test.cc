#include "services/terminal/pty_session.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include "support/eventually.h"
#include "support/process_table.h"

namespace lumora::services {
namespace {

using namespace std::chrono_literals;

using testing_support::eventually;
using testing_support::processEnded;
using testing_support::processesCarrying;

// Runs an io_context on a thread of its own and records what sessions report.
class PTYSessionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    work_.reset();
    io_.stop();
    thread_.join();
  }

  std::shared_ptr<PTYSession> open(std::uint16_t cols, std::uint16_t rows) {
    auto session = PTYSession::create(io_.get_executor(), "/bin/sh", cols, rows);
    session->setOnOutput([this](protocol::Bytes bytes) {
      std::lock_guard lock(mutex_);
      output_.append(bytes.begin(), bytes.end());
      if (exitCount_ > 0) ++outputAfterExit_;
    });
    session->setOnExit([this](std::int32_t code) {
      std::lock_guard lock(mutex_);
      ++exitCount_;
      exitCode_ = code;
    });
    session->start();
    return session;
  }

  void type(PTYSession& session, const std::string& text) {
    session.write(protocol::asBytes(text));
  }

  // Waits until the output matches `pattern` and returns the first capture.
  std::string waitForOutput(const std::string& pattern) {
    std::regex re(pattern);
    std::smatch match;
    bool found = eventually([&] {
      std::lock_guard lock(mutex_);
      return std::regex_search(output_, match, re);
    });
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(found) << "no match for " << pattern << " in:\n" << output_;
    return found && match.size() > 1 ? match[1].str() : std::string();
  }

  int exitCount() {
    std::lock_guard lock(mutex_);
    return exitCount_;
  }

  boost::asio::io_context io_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_{
      io_.get_executor()};
  std::thread thread_{[this] { io_.run(); }};
  std::mutex mutex_;
  std::string output_;
  int exitCount_ = 0;
  int exitCode_ = -1;
  int outputAfterExit_ = 0;
};

TEST_F(PTYSessionTest, ShellExitingByItselfReportsItsStatusOnce) {
  auto session = open(80, 24);
  type(*session, "echo last-words; exit 5\n");
  ASSERT_TRUE(eventually([&] { return exitCount() == 1; }));
  std::this_thread::sleep_for(200ms);
  std::lock_guard lock(mutex_);
  EXPECT_EQ(exitCount_, 1);
  EXPECT_EQ(exitCode_, 5);
  EXPECT_EQ(outputAfterExit_, 0);
  EXPECT_NE(output_.find("last-words"), std::string::npos) << output_;
  EXPECT_TRUE(processEnded(session->pid()));
}

TEST_F(PTYSessionTest, TerminateEndsAJobThatKeepsStartingJobsOutsideTheSession) {
  auto session = open(80, 24);
  type(*session, "echo mark=$LUMORA_TERMINAL_SESSION\n");
  const std::string mark = "LUMORA_TERMINAL_SESSION=" + waitForOutput(R"(mark=([0-9A-Fa-f-]{36}))");
  ASSERT_EQ(mark.size(), 24u + 36u);
  // Whatever the outcome, nothing this case starts outlives it.
  struct Sweeper {
    const std::string& mark;
    ~Sweeper() {
      for (int sweep = 0; sweep < 100; ++sweep) {
        auto left = processesCarrying(mark);
        if (left.empty()) return;
        for (pid_t pid : left) ::kill(pid, SIGKILL);
        std::this_thread::sleep_for(20ms);
      }
    }
  } sweeper{mark};
  // Jobs that ignore the hang-up start as fast as the shell can fork them, each leaving the
  // session on its way to sleep, so the kills meet processes in the middle of exec. The
  // starting loop itself is never mid-exec, so the first kill ends it.
  type(*session,
       "setsid sh -c 'trap \"\" HUP; while :; do setsid sleep 1000 & done'"
       " </dev/null >/dev/null 2>&1 &\n");
  ASSERT_TRUE(eventually([&] { return processesCarrying(mark).size() >= 50; }));

  session->terminate();
  ASSERT_TRUE(eventually([&] { return exitCount() == 1; }));
  std::vector<pid_t> left;
  EXPECT_TRUE(eventually([&] { return (left = processesCarrying(mark)).empty(); }, 5s))
      << left.size() << " processes of the session outlived it, the first " << left.front();
}

TEST_F(PTYSessionTest, AShellIgnoringTheHangUpIsKilledAfterTheGracePeriod) {
  auto session = open(80, 24);
  type(*session, "trap '' HUP; echo armed-$((1+1))\n");
  waitForOutput("armed-2");
  session->terminate();
  ASSERT_TRUE(eventually([&] { return exitCount() == 1; }));
  std::lock_guard lock(mutex_);
  EXPECT_EQ(exitCode_, 128 + SIGKILL);
}

TEST_F(PTYSessionTest, ASessionReleasedWhileRunningStillEndsItsShell) {
  auto session = open(80, 24);
  pid_t shell = session->pid();
  type(*session, "echo up\n");
  waitForOutput("up");
  session.reset();
  EXPECT_TRUE(eventually([&] { return processEnded(shell); }));
}

}  // namespace
}  // namespace lumora::services
