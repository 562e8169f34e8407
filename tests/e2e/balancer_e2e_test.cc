// Two instances of the account service over one throw-away PostgreSQL, behind HAProxy running
// the shipped configuration (only its addresses and certificate changed), the real agent joining
// its relay rooms through the balancer and the lumora program reaching it there. An instance
// that drains (SIGTERM) or dies (SIGKILL) costs the agent a rejoin on the other one and the user
// nothing: their next command goes through.

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>

#include "account/account_client.h"
#include "cli/lumora_runner.h"
#include "protocol/room_key.h"
#include "support/account_service_process.h"
#include "support/agent_process.h"
#include "support/eventually.h"
#include "support/haproxy_process.h"
#include "support/postgres_server.h"
#include "support/spawn.h"
#include "support/temp_dir.h"

namespace lumora {
namespace {

using account::testing::AccountClient;
using cli::Outcome;
using testing_support::AccountServiceProcess;
using testing_support::AgentProcess;
using testing_support::contentOf;
using testing_support::eventually;
using testing_support::TempDir;

// One instance as the systemd unit starts it: the shared database, the balancer trusted, the
// metrics on their own port.
std::unique_ptr<AccountServiceProcess> startInstance(const std::string& database) {
  return std::make_unique<AccountServiceProcess>(std::vector<std::string>{
      "--listen", "127.0.0.1:0", "--database", database, "--dev", "--trusted-proxy", "127.0.0.1",
      "--metrics-listen", "127.0.0.1:0", "--drain-seconds", "5"});
}

class BalancedServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/sbin/haproxy", X_OK) != 0) GTEST_SKIP() << "scripts/setup installs haproxy";
    auto* postgres = testing_support::PostgresServer::shared();
    if (postgres == nullptr) GTEST_SKIP() << testing_support::PostgresServer::why();
    const std::string database = postgres->freshDatabase();
    // One after the other: the first migrates the database.
    instances_[0] = startInstance(database);
    ASSERT_FALSE(instances_[0]->url().empty());
    instances_[1] = startInstance(database);
    std::ofstream(folder_ / "balancer.pem") << contentOf(tls_.certificate) << contentOf(tls_.key);
    balancer_ = std::make_unique<testing_support::HaproxyProcess>(
        folder_.path(), instances_[0]->url().substr(7), instances_[1]->url().substr(7),
        folder_ / "balancer.pem");
    ASSERT_TRUE(eventually([&] {
      try {
        return AccountClient(balancerURL(), {}, certificate()).get("/healthz").status == 200;
      } catch (const std::exception&) {
        return false;  // not listening yet
      }
    })) << balancer_->log();
  }

  std::string certificate() const { return tls_.certificate; }
  std::vector<std::string> trusting() const { return {"SSL_CERT_FILE=" + certificate()}; }

  std::string balancerURL() const {
    return "https://127.0.0.1:" + std::to_string(balancer_->port());
  }

  Outcome lumora(std::vector<std::string> args) {
    return cli::runLumora(home_, std::move(args), trusting());
  }

  // The agent through the balancer, paired with lumora, whose account knows it.
  void startAgentAndSignIn() {
    agent_ = std::make_unique<AgentProcess>(
        trusting(), std::vector<std::string>{"--relay-base", balancerURL()});
    ASSERT_TRUE(agent_->serving()) << agent_->log();
    ASSERT_EQ(lumora({"pair", agent_->link(), "--name", "desk"}).status, 0);
    Outcome login = lumora({"login", "--provider", "dev", "--email", "me@example.com",
                            "--account-service", balancerURL()});
    ASSERT_EQ(login.status, 0) << login.err;
    Outcome added = lumora({"devices", "add", "desk"});
    ASSERT_EQ(added.status, 0) << added.err;
    ASSERT_TRUE(eventually([&] { return controlRoomHolder() >= 0; })) << agent_->log();
  }

  // Which instance holds the agent's control room (by the rooms each one opened), or -1.
  int controlRoomHolder() {
    const std::string room = protocol::RoomKey::derive(agent_->secret()).fingerprint();
    for (int i = 0; i < 2; ++i) {
      if (!instances_[i]) continue;
      const std::string log = instances_[i]->log();
      const auto joined = log.rfind("GET /relay/" + room + " 101");
      if (joined != std::string::npos) return i;
    }
    return -1;
  }

  // A command through the relay, whose output comes back.
  void expectRunsThroughRelay(const std::string& text) {
    Outcome ran = lumora({"--relay", "run", "--shell", "/bin/sh", "echo " + text});
    EXPECT_EQ(ran.status, 0) << ran.err << agent_->log();
    EXPECT_EQ(ran.out, text + "\n");
  }

  TempDir folder_;
  account::testing::LocalhostCertificate tls_{"IP:127.0.0.1"};
  TempDir home_;
  std::unique_ptr<AccountServiceProcess> instances_[2];
  std::unique_ptr<testing_support::HaproxyProcess> balancer_;
  std::unique_ptr<AgentProcess> agent_;
};

TEST_F(BalancedServiceTest, CommandsAndFilesGoThroughAndMoveWhenTheirInstanceDrains) {
  startAgentAndSignIn();
  expectRunsThroughRelay("balanced");
  const std::string content(300000, 'f');
  std::ofstream(home_ / "up.bin") << content;
  Outcome put = lumora({"--relay", "put", home_ / "up.bin", agent_->home() / "up.bin"});
  ASSERT_EQ(put.status, 0) << put.err;
  Outcome got = lumora({"--relay", "get", agent_->home() / "up.bin", home_ / "down.bin"});
  ASSERT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(contentOf(home_ / "down.bin"), content);

  // The instance with the agent's control room drains; the agent moves at once and the user's
  // next command finds it on the other.
  const int holder = controlRoomHolder();
  ASSERT_GE(holder, 0);
  EXPECT_EQ(instances_[holder]->terminate(), 0);
  instances_[holder].reset();
  EXPECT_TRUE(eventually([&] { return controlRoomHolder() == 1 - holder; })) << agent_->log();
  EXPECT_NE(agent_->log().find("the relay is restarting: joining the room again at once"),
            std::string::npos)
      << agent_->log();
  expectRunsThroughRelay("moved");
}

TEST_F(BalancedServiceTest, AnInstanceThatDiesCostsTheAgentOneRetryOnTheOther) {
  startAgentAndSignIn();
  const int holder = controlRoomHolder();
  ASSERT_GE(holder, 0);
  ::kill(instances_[holder]->pid(), SIGKILL);
  instances_[holder].reset();
  // No wait here: lumora gives an agent that is joining again a moment, and the agent's first
  // retry comes within it.
  expectRunsThroughRelay("survived");
  EXPECT_EQ(controlRoomHolder(), 1 - holder);
}

}  // namespace
}  // namespace lumora
