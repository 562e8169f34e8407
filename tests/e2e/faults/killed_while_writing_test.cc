// The agent killed outright while it writes its pairing file and its status file, over and
// over: each file is always absent (before its first write) or whole, old or new, and the
// pairing file still opens, so a restarted agent keeps the pairing.

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "platform/linux/unique_fd.h"
#include "support/agent_process.h"
#include "support/raw_client.h"
#include "transport/pairing_store.h"

namespace lumora::faults {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::AgentProcess;
using testing_support::TempDir;

constexpr int kRuns = 40;

// Waits until the agent has begun its `count`-th file write in `directory` (the temporary file
// of an atomic replacement appears); false when `limit` passes first.
class WriteWatch {
 public:
  explicit WriteWatch(const fs::path& directory) : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    if (fd_) ::inotify_add_watch(fd_.get(), directory.c_str(), IN_CREATE);
  }
  bool valid() const { return static_cast<bool>(fd_); }

  bool waitForWrite(int count, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int seen = 0;
    alignas(inotify_event) char buffer[4096];
    while (seen < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd ready{fd_.get(), POLLIN, 0};
      if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
      ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && event->name[0] == '.') ++seen;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return true;
  }

  // Forgets events of an earlier run.
  void drain() {
    char buffer[4096];
    while (::read(fd_.get(), buffer, sizeof buffer) > 0) {
    }
  }

 private:
  platform::linux_os::UniqueFd fd_;
};

TEST(KilledWhileWritingTest, FilesAreAlwaysWholeAndThePairingSurvives) {
  TempDir home;
  const fs::path directory = home.path() / ".lumora";
  const fs::path pairingPath = directory / "pairing";
  const fs::path statusPath = directory / "agent-status.json";
  fs::create_directories(directory);
  WriteWatch watch(directory);
  ASSERT_TRUE(watch.valid());
  // The key the agent seals with: the same machine, the same derivation.
  const transport::PairingStore store(
      pairingPath.string(), transport::MachineKey::derive(transport::PairingStore::kSalt));

  std::optional<protocol::PairingSecret> secret;  // what the pairing file holds
  bool statusWritten = false;
  for (int run = 0; run < kRuns; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    // Each start writes three files in turn: the stopped status, the new pairing, the serving
    // status. Kill just as one of them starts, a little later, or once all are done.
    const int write = run % 4 + 1;
    const auto delay = std::chrono::microseconds(run / 4 % 5 * 250);
    watch.drain();
    {
      AgentProcess agent(home, /*resetPairing=*/true, /*waitUntilServing=*/false);
      ASSERT_GT(agent.pid(), 0);
      if (write <= 3) {
        ASSERT_TRUE(watch.waitForWrite(write, 10s)) << agent.log();
        std::this_thread::sleep_for(delay);
      } else {
        ASSERT_TRUE(agent.waitUntilServing()) << agent.log();
      }
      ::kill(agent.pid(), SIGKILL);
    }  // reaped here

    if (fs::exists(pairingPath)) {
      EXPECT_EQ(fs::file_size(pairingPath), 12u + 16u + 16u);
      EXPECT_EQ(testing_support::fileMode(pairingPath), 0600u);
      auto loaded = store.load();
      ASSERT_TRUE(loaded.has_value()) << "the pairing file does not open";
      secret = loaded;
    } else {
      ASSERT_FALSE(secret.has_value()) << "the pairing file vanished";
    }

    if (fs::exists(statusPath)) {
      EXPECT_EQ(testing_support::fileMode(statusPath), 0600u);
      const std::string text = testing_support::contentOf(statusPath);
      boost::system::error_code ec;
      const boost::json::value status = boost::json::parse(text, ec);
      // Whole: the stopped status, or the serving one, which is written after the pairing file
      // and so names what that holds.
      if (status != boost::json::value{{"running", false}}) {
        ASSERT_TRUE(!ec && status.is_object() && secret.has_value()) << "not whole: " << text;
        const auto* running = status.as_object().if_contains("running");
        const auto* code = status.as_object().if_contains("pairingCode");
        EXPECT_TRUE(running && running->is_bool() && running->get_bool()) << text;
        EXPECT_TRUE(code && code->is_string() && code->get_string() == secret->code()) << text;
      }
      statusWritten = true;
    } else {
      ASSERT_FALSE(statusWritten) << "the status file vanished";
    }
  }
  ASSERT_TRUE(secret.has_value());

  // A normal start keeps the pairing the file holds, and a phone holding that code gets in. (The
  // last killed agent's status still says it serves; it goes, so only the new one's is read.)
  fs::remove(statusPath);
  AgentProcess agent(home, /*resetPairing=*/false);
  ASSERT_TRUE(agent.serving()) << agent.log();
  EXPECT_EQ(agent.secret(), *secret);
  testing_support::RawClient client(agent.controlPort());
  client.authenticate(agent.secret());
  EXPECT_EQ(client.ask(protocol::PingRequest{}).payload.messageType(), protocol::MessageType::ack);

  // Interrupted writes leave no temporary files behind once the agent has run again.
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"agent-status.json", "pairing"}));
}

}  // namespace
}  // namespace lumora::faults
