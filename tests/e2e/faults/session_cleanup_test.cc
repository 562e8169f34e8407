// A connection's terminals leave nothing running once they are closed: not the shell, not its
// background jobs (in process groups of their own, in sessions of their own: the two ways the
// agent finds them; one deaf to the hang-up is pty_session_test's), not a program flooding the
// terminal while its output is held back for a peer that does not read.

#include <signal.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/agent_process.h"
#include "support/eventually.h"
#include "support/process_table.h"
#include "support/raw_client.h"

namespace lumora::faults {
namespace {

using namespace std::chrono_literals;
using protocol::MessageType;
using testing_support::AgentProcess;
using testing_support::bytesWritten;
using testing_support::eventually;
using testing_support::processEnded;
using testing_support::processesRunning;
using testing_support::RawClient;

// Hang-up, a grace period of a few seconds, then the kill: well inside this.
constexpr auto kEndLimit = 15s;

// Command lines no other process on the machine runs: `sleep` for a number of seconds made
// of this process's id and a counter. Whatever of them outlives a failed case is killed with
// it.
class UniqueSleeps {
 public:
  ~UniqueSleeps() {
    for (const auto& argv : issued_) {
      for (pid_t pid : processesRunning(argv)) ::kill(pid, SIGKILL);
    }
  }

  std::vector<std::string> next() {
    issued_.push_back(
        {"sleep", std::to_string(7000000000LL + ::getpid() * 100LL + issued_.size())});
    return issued_.back();
  }
  // Another command line to kill at the end.
  void track(std::vector<std::string> argv) { issued_.push_back(std::move(argv)); }

 private:
  std::vector<std::vector<std::string>> issued_;
};

std::string shellLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const auto& argument : argv) line += (line.empty() ? "" : " ") + argument;
  return line;
}

bool running(const std::vector<std::string>& argv) { return !processesRunning(argv).empty(); }

// The number after `key=` in `text`, skipping the terminal's echo of the command that
// printed it (`key=$$`).
pid_t pidAfter(const std::string& text, const std::string& key) {
  for (auto at = text.find(key + "="); at != std::string::npos; at = text.find(key + "=", at + 1)) {
    const char* digits = text.c_str() + at + key.size() + 1;
    if (std::isdigit(static_cast<unsigned char>(*digits))) return std::atoi(digits);
  }
  return -1;
}

class SessionCleanupTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(agent_.serving()) << agent_.log(); }

  std::unique_ptr<RawClient> pairedClient(int receiveBuffer = 0) {
    auto client = std::make_unique<RawClient>(agent_.controlPort(), receiveBuffer);
    client->authenticate(agent_.secret());
    return client;
  }

  AgentProcess agent_;
  UniqueSleeps sleeps_;
};

TEST_F(SessionCleanupTest, ClosingATerminalEndsItsJobsAndOnlyItsJobs) {
  auto client = pairedClient();
  const std::string closed = client->openTerminal("/bin/bash");
  const std::string kept = client->openTerminal("/bin/bash");
  // In each: a job in a process group of its own, and one in a session of its own.
  const auto closedJob = sleeps_.next(), closedEscapee = sleeps_.next();
  const auto keptJob = sleeps_.next(), keptEscapee = sleeps_.next();
  auto start = [&](const std::string& session, const auto& job, const auto& escapee) {
    client->type(session, "echo shell=$$\n" + shellLine(job) + " &\nsetsid " + shellLine(escapee) +
                              " &\necho ready-$((6*7))\n");
    return pidAfter(client->readUntil(session, "ready-42"), "shell");
  };
  const pid_t closedShell = start(closed, closedJob, closedEscapee);
  ASSERT_GT(closedShell, 1);
  start(kept, keptJob, keptEscapee);
  for (const auto* argv : {&closedJob, &closedEscapee, &keptJob, &keptEscapee}) {
    ASSERT_TRUE(eventually([&] { return running(*argv); }, 5s)) << shellLine(*argv);
  }

  EXPECT_EQ(client->ask(protocol::TerminalCloseRequest{closed}).payload.messageType(),
            MessageType::ack);
  client->waitForExit(closed);
  EXPECT_TRUE(processEnded(closedShell));
  EXPECT_TRUE(eventually([&] { return !running(closedJob); }, kEndLimit));
  EXPECT_TRUE(eventually([&] { return !running(closedEscapee); }, kEndLimit))
      << "a job that left the terminal's session outlived the terminal";
  // The other terminal of the same connection is untouched, its escaped job included.
  EXPECT_TRUE(running(keptJob));
  EXPECT_TRUE(running(keptEscapee));
  client->type(kept, "echo still-$((6*7))\n");
  client->readUntil(kept, "still-42");

  client.reset();
  EXPECT_TRUE(eventually([&] { return !running(keptJob); }, kEndLimit));
  EXPECT_TRUE(eventually([&] { return !running(keptEscapee); }, kEndLimit))
      << "a job that left the terminal's session outlived the connection";
}

// The jobs a connection's terminals started go with it (the case above); here, a terminal whose
// program floods it while its output is held back.
TEST_F(SessionCleanupTest, ClosingTheConnectionEndsAFloodingTerminalWhoseOutputIsHeldBack) {
  // A small receive buffer, and no reading once the flood runs: the agent soon holds the
  // terminal's output back, and the flooding program blocks on the terminal.
  auto client = pairedClient(4096);
  const std::string session = client->openTerminal("/bin/bash");
  client->type(session, "echo shell=$$ ready-$((6*7))\n");
  const pid_t shell = pidAfter(client->readUntil(session, "ready-42"), "shell");
  ASSERT_GT(shell, 1);
  const std::vector<std::string> flood = {"yes", "flood-" + std::to_string(::getpid())};
  sleeps_.track(flood);
  client->type(session, shellLine(flood) + "\n");
  ASSERT_TRUE(eventually([&] { return running(flood); }, 5s));
  const pid_t floodPid = processesRunning(flood).front();

  // Held back: the program's write total stops moving. The agent first queues tens of MiB,
  // which under ThreadSanitizer on a busy machine takes well over 20 s.
  bool heldBack = eventually(
      [&] {
        long long before = bytesWritten(floodPid);
        std::this_thread::sleep_for(300ms);
        return before >= 0 && bytesWritten(floodPid) == before;
      },
      60s);
  ASSERT_TRUE(heldBack) << "the terminal's output was never held back";
  // Reading lets it flow again.
  const long long held = bytesWritten(floodPid);
  EXPECT_TRUE(eventually(
      [&] {
        for (int i = 0; i < 100; ++i) client->next();
        return bytesWritten(floodPid) > held;
      },
      20s))
      << "the terminal's output stayed held back once the peer read";

  client.reset();
  EXPECT_TRUE(eventually([&] { return processEnded(shell); }, kEndLimit));
  EXPECT_TRUE(eventually([&] { return !running(flood); }, kEndLimit));
  // The agent's work on the flood's end held nothing up: it serves a new connection.
  EXPECT_EQ(pairedClient()->ask(protocol::PingRequest{}).payload.messageType(), MessageType::ack);
}

// A one-shot command is answered once it has exited and nothing holds its output open any
// more, so a background job that keeps the output keeps the request waiting. A peer that leaves
// meanwhile wants no answer; the command and its job go with the connection, as a terminal's
// jobs do.
TEST_F(SessionCleanupTest, AOneShotCommandsJobsEndWhenThePeerLeavesBeforeTheAnswer) {
  auto client = pairedClient();
  const auto job = sleeps_.next();
  client->send(protocol::Envelope::request(
      protocol::TerminalRunRequest{shellLine(job) + " & echo started", "/bin/sh"}));
  ASSERT_TRUE(eventually([&] { return running(job); }, 5s));

  client.reset();
  EXPECT_TRUE(eventually([&] { return !running(job); }, kEndLimit))
      << "the command's job outlived the connection that asked for it";
}

}  // namespace
}  // namespace lumora::faults
