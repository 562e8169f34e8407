#include "services/terminal/pty_session.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>
#include <vector>

#include "support/eventually.h"
#include "support/process_table.h"
#include "support/recorder.h"
#include "support/run_awaitable.h"

namespace lumora::services {
namespace {

using namespace std::chrono_literals;

using testing_support::eventually;
using testing_support::processesCarrying;

// Sessions on an io_context of their own thread, and what they report.
class PTYSessionTest : public ::testing::Test {
 protected:
  std::shared_ptr<PTYSession> open() {
    auto session = PTYSession::create(io_.executor(), "/bin/sh", 80, 24);
    session->setOnOutput(output_.sink());
    session->setOnExit([this](std::int32_t code) {
      outputAtExit_ = output_.size();
      exits_.add(code);
    });
    session->start();
    return session;
  }

  void type(PTYSession& session, const std::string& text) {
    session.write(protocol::asBytes(text));
  }

  std::string output() const {
    std::string text;
    for (const auto& chunk : output_.items()) text.append(chunk.begin(), chunk.end());
    return text;
  }

  // Waits until the output matches `pattern` and returns the first capture.
  std::string waitForOutput(const std::string& pattern) {
    const std::regex re(pattern);
    std::smatch match;
    std::string text;
    const bool found = eventually([&] { return std::regex_search(text = output(), match, re); });
    EXPECT_TRUE(found) << "no match for " << pattern << " in:\n" << text;
    return found && match.size() > 1 ? match[1].str() : std::string();
  }

  bool exited() {
    return exits_.waitUntil([](const auto& codes) { return !codes.empty(); });
  }

  testing_support::Recorder<protocol::Bytes> output_;
  testing_support::Recorder<std::int32_t> exits_;
  std::size_t outputAtExit_ = 0;  // written before the exit is recorded
  // Last: its thread is done before what the sessions report to goes.
  testing_support::ThreadedIo io_;
};

TEST_F(PTYSessionTest, ShellExitingByItselfReportsItsStatusOnce) {
  auto session = open();
  type(*session, "echo last-words; exit 5\n");
  ASSERT_TRUE(exited());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(exits_.items(), std::vector<std::int32_t>{5});
  EXPECT_EQ(output_.size(), outputAtExit_) << "no output after the exit";
  EXPECT_NE(output().find("last-words"), std::string::npos) << output();
}

TEST_F(PTYSessionTest, TerminateEndsAJobThatKeepsStartingJobsOutsideTheSession) {
  auto session = open();
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
  ASSERT_TRUE(exited());
  std::vector<pid_t> left;
  EXPECT_TRUE(eventually([&] { return (left = processesCarrying(mark)).empty(); }, 5s))
      << left.size() << " processes of the session outlived it, the first " << left.front();
}

TEST_F(PTYSessionTest, AShellIgnoringTheHangUpIsKilledAfterTheGracePeriod) {
  auto session = open();
  type(*session, "trap '' HUP; echo armed-$((1+1))\n");
  waitForOutput("armed-2");
  session->terminate();
  ASSERT_TRUE(exited());
  EXPECT_EQ(exits_.last(), 128 + SIGKILL);
}

}  // namespace
}  // namespace lumora::services
