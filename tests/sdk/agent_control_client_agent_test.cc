// The client library against the real lumora-agent program over loopback.

#include <gtest/gtest.h>

#include "support/agent_process.h"
#include "sdk/agent_control_client.h"

namespace lumora::sdk {
namespace {

using namespace std::chrono_literals;

TEST(AgentControlClientWithAgentTest, PairsRunsCommandsListsFilesAndDrivesATerminal) {
  testing_support::AgentProcess agent;
  ASSERT_TRUE(agent.serving()) << agent.log();
  const auto& home = agent.home();

  AgentControlClient client;
  client.connect("127.0.0.1", agent.controlPort()).get();
  try {
    client.ping().get();
    FAIL() << "the agent answered before pairing";
  } catch (const SDKError& error) {
    EXPECT_EQ(error.agentError()->code, "unauthorized");
  }
  client.authenticate(agent.secret().code(), "sdk-test").get();
  client.ping().get();

  protocol::TerminalRunResult run =
      client.runCommand("echo out; echo err >&2; exit 3", "/bin/sh").get();
  EXPECT_EQ(run, (protocol::TerminalRunResult{3, "out\n", "err\n"}));

  home.make("notes.txt", "twelve bytes");
  std::filesystem::create_directory(home.path() / "folder");
  protocol::FileListResult listing = client.listFiles(home.path().string()).get();
  bool sawFile = false;
  bool sawFolder = false;
  for (const auto& entry : listing.entries) {
    sawFile |= entry.name == "notes.txt" && entry.size == 12 && !entry.isDirectory;
    sawFolder |= entry.name == "folder" && entry.isDirectory;
  }
  EXPECT_TRUE(sawFile && sawFolder);

  // A file round trip in several pieces.
  protocol::Bytes data(700000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251);
  client.uploadFile(home / "upload.bin", data).get();
  EXPECT_EQ(client.downloadFile(home / "upload.bin").get(), data);

  TerminalSession shell = client.openTerminal("/bin/sh", 80, 24).get();
  shell.sendText("echo marker-$((6*7)); exit 5\n").get();
  std::string output;
  while (auto piece = shell.output().next(10s)) output += protocol::asText(*piece);
  EXPECT_TRUE(shell.output().ended()) << output;
  EXPECT_NE(output.find("marker-42"), std::string::npos) << output;

  bool dropped = false;
  client.setOnDisconnect([&] { dropped = true; });
  client.disconnect();
  EXPECT_FALSE(dropped);
}

}  // namespace
}  // namespace lumora::sdk
