// Eight paired clients at once, each keeping several mixed requests in flight: every reply must
// answer its own request, with the right content, and no connection may be dropped.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <unordered_map>

#include "load_scale.h"
#include "request_mix.h"
#include "support/agent_process.h"
#include "support/process_table.h"
#include "support/raw_client.h"

namespace lumora::load {
namespace {

using protocol::Envelope;
using testing_support::AgentProcess;
using testing_support::RawClient;

constexpr int kClients = 8;
// The full count; sanitizer runs take a share of it (load_scale.h).
const int kRequestsPerClient = scaledCount(10000, 100);
constexpr std::size_t kInFlight = 8;
// Each command starts a shell; one in this many keeps them a small share of the mix.
constexpr int kCommandEvery = 250;

struct ClientOutcome {
  int answered = 0;
  int wrongCount = 0;
  std::vector<std::string> firstWrong;  // the first few, for the failure message
  std::string failure;                  // what ended the client early, if anything
};

void runClient(const AgentProcess& agent, const RequestMix& mix, unsigned seed,
               ClientOutcome& outcome) {
  try {
    RawClient client(agent.controlPort());
    client.authenticate(agent.secret());
    std::mt19937 random(seed);
    std::unordered_map<std::string, Envelope> waiting;  // by request id
    int sent = 0;
    while (outcome.answered < kRequestsPerClient) {
      while (sent < kRequestsPerClient && waiting.size() < kInFlight) {
        Envelope request = mix.next(random, kCommandEvery);
        client.send(request);
        waiting.emplace(request.id.rawValue, std::move(request));
        ++sent;
      }
      std::optional<Envelope> reply = client.receive();
      if (!reply) {
        outcome.failure = "connection dropped after " + std::to_string(outcome.answered);
        return;
      }
      auto request =
          reply->correlationID ? waiting.find(reply->correlationID->rawValue) : waiting.end();
      std::string wrong;
      if (request == waiting.end()) {
        wrong = "reply correlated to no request in flight";
      } else {
        wrong = mix.check(request->second, *reply);
        waiting.erase(request);
      }
      if (!wrong.empty() && ++outcome.wrongCount <= 5) outcome.firstWrong.push_back(wrong);
      ++outcome.answered;
    }
  } catch (const std::exception& e) {
    outcome.failure = e.what();
  }
}

TEST(MixedLoadTest, EightClientsGetTheRightAnswerToEveryRequest) {
  AgentProcess agent;
  ASSERT_TRUE(agent.serving()) << agent.log();
  testing_support::TempDir files;
  const RequestMix mix(files.path());

  std::vector<ClientOutcome> outcomes(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back(runClient, std::cref(agent), std::cref(mix), 1000u + i,
                         std::ref(outcomes[i]));
  }
  for (auto& client : clients) client.join();

  for (int i = 0; i < kClients; ++i) {
    SCOPED_TRACE("client " + std::to_string(i));
    EXPECT_EQ(outcomes[i].failure, "");
    EXPECT_EQ(outcomes[i].answered, kRequestsPerClient);
    EXPECT_EQ(outcomes[i].wrongCount, 0) << ::testing::PrintToString(outcomes[i].firstWrong);
  }
  EXPECT_FALSE(testing_support::processEnded(agent.pid()));
}

}  // namespace
}  // namespace lumora::load
