// Starts the lumora-agent program with a private home and no display, pairs with it using the
// code from its status file, drives it over the wire, and stops it with SIGTERM.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <chrono>
#include <fstream>
#include <thread>

#include "support/raw_client.h"
#include "support/temp_dir.h"

extern char** environ;

namespace lumora {
namespace {

using namespace std::chrono_literals;
using protocol::Envelope;
using protocol::MessageType;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class AgentProcess {
 public:
  explicit AgentProcess(const testing_support::TempDir& home, bool resetPairing = false)
      : home_(home) {
    std::vector<std::string> environment = {"HOME=" + home.path().string(), "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const char* argv[] = {LUMORA_AGENT_BINARY,
                          "--port",
                          "0",
                          "--no-qr",
                          resetPairing ? "--reset-pairing" : nullptr,
                          nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = home.path() / "agent.log";
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), envp.data()),
              0);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~AgentProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // The status file once it says the agent serves; the limit only guards against a hang.
  boost::json::object waitUntilServing() {
    for (int i = 0; i < 500; ++i) {
      boost::system::error_code ec;
      auto status = boost::json::parse(readFile(home_.path() / ".lumora/agent-status.json"), ec);
      if (!ec && status.is_object() && status.as_object().at("running").as_bool()) {
        return status.as_object();
      }
      std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "agent did not start:\n" << readFile(home_.path() / "agent.log");
    return {};
  }

  int terminate() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  const testing_support::TempDir& home_;
  pid_t pid_ = -1;
};

TEST(AgentEndToEndTest, PairsServesFilesAndCommandsAndStopsCleanly) {
  testing_support::TempDir home;
  AgentProcess agent(home);
  boost::json::object status = agent.waitUntilServing();
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.at("host").as_string(), "127.0.0.1");
  const auto port = static_cast<std::uint16_t>(status.at("controlPort").as_int64());
  auto secret =
      protocol::PairingSecret::fromCode(std::string(status.at("pairingCode").as_string()));
  ASSERT_TRUE(secret.has_value());
  struct stat info {};
  ASSERT_EQ(::stat((home.path() / ".lumora/agent-status.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  testing_support::RawClient client(port);
  EXPECT_EQ(client.ask(protocol::PingRequest{}).payload.get<MessageType::error>()->message,
            "authentication required");
  client.authenticate(*secret);

  home.make("hello.txt", "hi there");
  Envelope list = client.ask(protocol::FileListRequest{home.path().string()});
  ASSERT_EQ(list.payload.messageType(), MessageType::fileListResult);
  bool found = false;
  for (const auto& entry : list.payload.get<MessageType::fileListResult>()->entries) {
    found |= entry.name == "hello.txt" && entry.size == 8;
  }
  EXPECT_TRUE(found);

  Envelope run = client.ask(protocol::TerminalRunRequest{"echo ok; exit 7", "/bin/sh"});
  EXPECT_EQ(*run.payload.get<MessageType::terminalRunResult>(),
            (protocol::TerminalRunResult{7, "ok\n", ""}));

  // Without a display the desktop requests fail with a reason, and the agent carries on.
  Envelope displays = client.ask(protocol::ScreenListDisplaysRequest{});
  ASSERT_EQ(displays.payload.messageType(), MessageType::error);
  EXPECT_EQ(displays.payload.get<MessageType::error>()->code, "internal");
  EXPECT_EQ(client.ask(protocol::PingRequest{}).payload.messageType(), MessageType::ack);

  EXPECT_EQ(agent.terminate(), 0);
  EXPECT_EQ(readFile(home.path() / ".lumora/agent-status.json"), "{\n  \"running\" : false\n}");
  EXPECT_TRUE(client.closedByAgent());
}

TEST(AgentEndToEndTest, PairingSurvivesRestartsUntilReset) {
  testing_support::TempDir home;
  auto codeOfRun = [&](bool reset) {
    AgentProcess agent(home, reset);
    auto status = agent.waitUntilServing();
    EXPECT_EQ(agent.terminate(), 0);
    return status.empty() ? std::string() : std::string(status.at("pairingCode").as_string());
  };
  const std::string first = codeOfRun(false);
  ASSERT_EQ(first.size(), 32u);
  EXPECT_EQ(codeOfRun(false), first);
  const std::string reset = codeOfRun(true);
  EXPECT_NE(reset, first);
  EXPECT_EQ(codeOfRun(false), reset);
}

}  // namespace
}  // namespace lumora
