// Eight paired clients at once, each keeping several mixed requests in flight: every reply must
// answer its own request, with the right content, and no connection may be dropped.

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <thread>
#include <unordered_map>

#include "load_scale.h"
#include "support/agent_process.h"
#include "support/process_table.h"
#include "support/raw_client.h"

namespace lumora::load {
namespace {

using protocol::Envelope;
using protocol::MessageType;
using testing_support::AgentProcess;
using testing_support::RawClient;

constexpr int kClients = 8;
// The full count; sanitizer runs take a share of it (load_scale.h).
const int kRequestsPerClient = scaledCount(10000, 100);
constexpr std::size_t kInFlight = 8;
// Each command starts a shell; one in this many keeps them a small share of the mix.
constexpr int kCommandEvery = 250;
constexpr std::int64_t kLongestRange = 8 << 10;

// The mixed requests a client sends, and what a correct agent answers to each. The answer
// follows from the request alone (which file, which range, which word to echo), so a reply
// that reaches the wrong request, or carries the wrong bytes, does not pass.
class RequestMix {
 public:
  // Fills `directory` (empty) with the files the downloads and listings read.
  explicit RequestMix(const testing_support::TempDir& directory) : directory_(directory.path()) {
    std::mt19937 random(7);
    for (int i = 0; i < 4; ++i) {
      // Sizes from a few bytes to a few of the longest range.
      protocol::Bytes content(i == 0 ? 5 : (24 << 10) * static_cast<std::size_t>(i) / 3 + 17);
      for (auto& b : content) b = static_cast<std::uint8_t>(random());
      const std::string name = "file-" + std::to_string(i) + ".bin";
      const std::string path = directory.make(name, std::string(content.begin(), content.end()));
      files_.emplace(path, std::move(content));
    }
    // By name (the order rules are file_operations_test's).
    for (const auto& [path, content] : files_) {
      struct stat info {};
      ::lstat(path.c_str(), &info);
      listing_.push_back({std::filesystem::path(path).filename().string(), path, false,
                          static_cast<std::int64_t>(content.size()),
                          static_cast<std::int64_t>(info.st_mtime)});
    }
  }

  // Mostly pings, listings and downloads of byte ranges; a one-shot command now and then.
  Envelope next(std::mt19937& random) const {
    const int roll = std::uniform_int_distribution<int>(0, kCommandEvery - 1)(random);
    if (roll == 0) {
      return Envelope::request(
          protocol::TerminalRunRequest{"echo load-" + std::to_string(random()), "/bin/sh"});
    }
    if (roll % 3 == 0) return Envelope::request(protocol::PingRequest{});
    if (roll % 3 == 1) return Envelope::request(protocol::FileListRequest{directory_.string()});
    auto file = files_.begin();
    std::advance(file, std::uniform_int_distribution<int>(0, 3)(random));
    const auto size = static_cast<std::int64_t>(file->second.size());
    const std::int64_t offset = std::uniform_int_distribution<std::int64_t>(0, size)(random);
    std::optional<std::int64_t> length;  // one in four reads to the end
    if (random() % 4 != 0) {
      length = std::uniform_int_distribution<std::int64_t>(1, kLongestRange)(random);
    }
    return Envelope::request(protocol::FileDownloadRequest{file->first, offset, length});
  }

  // Empty when `reply` is the right answer to `request`; otherwise what is wrong with it.
  std::string check(const Envelope& request, const Envelope& reply) const {
    const auto& asked = request.payload;
    if (asked.messageType() == MessageType::ping) {
      return reply.payload.messageType() == MessageType::ack
                 ? ""
                 : "ping: " + testing_support::describe(reply);
    }
    if (const auto* list = asked.get<MessageType::fileList>()) {
      const auto* result = reply.payload.get<MessageType::fileListResult>();
      if (!result) return "file.list: " + testing_support::describe(reply);
      return result->path == list->path && result->entries == listing_ ? ""
                                                                       : "file.list entries differ";
    }
    if (const auto* download = asked.get<MessageType::fileDownload>()) {
      const auto* result = reply.payload.get<MessageType::fileDownloadResult>();
      if (!result) return "file.download: " + testing_support::describe(reply);
      const protocol::Bytes& content = files_.at(download->path);
      const auto size = static_cast<std::int64_t>(content.size());
      const std::int64_t end =
          download->length ? std::min(size, download->offset + *download->length) : size;
      const protocol::FileDownloadResult expected{
          download->path,
          protocol::Bytes(content.begin() + download->offset, content.begin() + end),
          download->offset, size, end == size};
      return *result == expected ? "" : "file.download of " + download->path + " differs";
    }
    const auto& run = *asked.get<MessageType::terminalRun>();
    const protocol::TerminalRunResult expected{0, run.command.substr(5) + "\n", ""};
    const auto* result = reply.payload.get<MessageType::terminalRunResult>();
    return result && *result == expected ? "" : "terminal.run: " + testing_support::describe(reply);
  }

 private:
  std::filesystem::path directory_;
  std::map<std::string, protocol::Bytes> files_;  // by full path
  std::vector<protocol::FileEntry> listing_;      // what listing the directory gives
};

struct ClientOutcome {
  int answered = 0;
  std::vector<std::string> wrong;  // the first few, for the failure message
  int wrongCount = 0;
  std::string failure;  // what ended the client early, if anything
};

void runClient(const AgentProcess& agent, const RequestMix& mix, unsigned seed,
               ClientOutcome& outcome) {
  try {
    RawClient client(agent.controlPort());
    client.authenticate(agent.secret());
    std::mt19937 random(seed);
    std::unordered_map<std::string, Envelope> waiting;  // by request id
    for (int sent = 0; outcome.answered < kRequestsPerClient; ++outcome.answered) {
      for (; sent < kRequestsPerClient && waiting.size() < kInFlight; ++sent) {
        Envelope request = mix.next(random);
        client.send(request);
        waiting.emplace(request.id.rawValue, std::move(request));
      }
      std::optional<Envelope> reply = client.receive();
      if (!reply) {
        outcome.failure = "connection dropped after " + std::to_string(outcome.answered);
        return;
      }
      auto request =
          reply->correlationID ? waiting.find(reply->correlationID->rawValue) : waiting.end();
      std::string wrong = request == waiting.end() ? "reply correlated to no request in flight"
                                                   : mix.check(request->second, *reply);
      if (request != waiting.end()) waiting.erase(request);
      if (!wrong.empty() && ++outcome.wrongCount <= 5) outcome.wrong.push_back(wrong);
    }
  } catch (const std::exception& e) {
    outcome.failure = e.what();
  }
}

TEST(MixedLoadTest, EightClientsGetTheRightAnswerToEveryRequest) {
  AgentProcess agent;
  ASSERT_TRUE(agent.serving()) << agent.log();
  testing_support::TempDir files;
  const RequestMix mix(files);

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
    EXPECT_EQ(outcomes[i].wrongCount, 0) << ::testing::PrintToString(outcomes[i].wrong);
  }
  EXPECT_FALSE(testing_support::processEnded(agent.pid()));
}

}  // namespace
}  // namespace lumora::load
