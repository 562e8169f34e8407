// The lumora-agent program's life: it publishes where it serves in its status file, pairs with
// the code from that file, serves without a display and without the relay it was given, and
// stops cleanly on SIGTERM. The status file's privacy and the pairing across restarts and resets
// are killed_while_writing_test's; what it serves, and that only a paired peer is served, the
// other suites'; the relay bases it refuses, cli_e2e_test's.

#include <gtest/gtest.h>

#include "protocol/room_key.h"
#include "support/agent_process.h"
#include "support/eventually.h"
#include "support/raw_client.h"
#include "support/temp_dir.h"

namespace lumora {
namespace {

using protocol::Envelope;
using protocol::MessageType;

using testing_support::AgentProcess;
using testing_support::contentOf;

TEST(AgentEndToEndTest, PairsServesWithoutADisplayOrItsRelayAndStopsCleanly) {
  AgentProcess agent({}, {"--relay-base", "https://127.0.0.1:1"});
  ASSERT_TRUE(agent.serving()) << agent.log();
  // Without a tailnet address it serves on loopback only.
  EXPECT_EQ(agent.status().at("host").as_string(), "127.0.0.1");
  const auto& home = agent.home();

  testing_support::RawClient client(agent.controlPort());
  client.authenticate(agent.secret());

  // Without a display the desktop requests fail with a reason, and the agent carries on.
  Envelope displays = client.ask(protocol::ScreenListDisplaysRequest{});
  ASSERT_EQ(displays.payload.messageType(), MessageType::error);
  EXPECT_EQ(displays.payload.get<MessageType::error>()->code, "internal");
  EXPECT_EQ(client.ask(protocol::PingRequest{}).payload.messageType(), MessageType::ack);
  // The relay nobody answers at is tried at its room, over TLS since its origin is https.
  const std::string room =
      "wss://127.0.0.1:1/relay/" + protocol::RoomKey::derive(agent.secret()).fingerprint();
  EXPECT_TRUE(testing_support::eventually([&] {
    return agent.log().find("cannot join the relay room at " + room) != std::string::npos;
  })) << agent.log();

  EXPECT_EQ(agent.terminate(), 0);
  EXPECT_EQ(contentOf(home / ".lumora/agent-status.json"), "{\n  \"running\" : false\n}");
  EXPECT_TRUE(client.closedWithin());
}

}  // namespace
}  // namespace lumora
