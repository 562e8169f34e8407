// The account clients against the real account service on loopback, in development mode; and,
// for what that service never answers, against a scripted HTTP peer.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <future>

#include "account/service_harness.h"
#include "net/http_client.h"
#include "protocol/base64.h"
#include "protocol/pairing_secret.h"
#include "protocol/room_key.h"
#include "sdk/account/auth_client.h"
#include "sdk/account/device_registry_client.h"
#include "sdk/account/relay_token_client.h"
#include "sdk/scripted_peer.h"
#include "support/failure_of.h"
#include "support/run_awaitable.h"

namespace lumora::sdk {

namespace {

using ::testing::HasSubstr;
using Kind = AccountServiceError::Kind;
using protocol::PairingSecret;
using testing_support::runAwaitable;

std::shared_ptr<const net::HttpClient> session() {
  return std::make_shared<const net::HttpClient>("lumora-sdk-test");
}

// The `Error` that awaiting `operation` fails with.
template <class Error, class T>
Error failureOf(boost::asio::awaitable<T> operation) {
  return testing_support::failureOf<Error>([&] { runAwaitable(std::move(operation)); });
}

class AccountClientsTest : public ::testing::Test {
 protected:
  AuthTokens signIn(const std::string& email) { return runAwaitable(auth.login("dev", email)); }

  account::testing::ServiceUnderTest service;
  // A base with a path: the clients keep only its origin.
  const std::string base = service.url() + "/api/v1";
  const std::shared_ptr<const net::HttpClient> http = session();
  const AuthClient auth{base, http};
};

TEST_F(AccountClientsTest, SignsInReadsTheUserAndRefreshesOnce) {
  const AuthTokens tokens = signIn("ada@example.com");
  EXPECT_EQ(tokens.user.email, "ada@example.com");
  EXPECT_EQ(runAwaitable(auth.me(tokens.accessToken)), tokens.user);

  const AuthTokens renewed = runAwaitable(auth.refresh(tokens.refreshToken));
  EXPECT_EQ(runAwaitable(auth.me(renewed.accessToken)), tokens.user);
  // The service's refusals come back with its status and its body as sent.
  const auto spent = failureOf<AuthClientError>(auth.refresh(tokens.refreshToken));
  EXPECT_EQ(spent.status(), 401);
  EXPECT_EQ(boost::json::parse(spent.body()).at("error"), "refresh_token_reused");
}

// Who gets a token for which room is the service's to decide (api_test's
// RegisteringADeviceTakesAProofOfItsPairingSecret); a refusal reaches the caller as the service
// sent it through the clients' one answer routine (SignsInReadsTheUserAndRefreshesOnce).
TEST_F(AccountClientsTest, KeepsTheAccountsDevicesAndIssuesRelayTokensForThem) {
  const std::string accessToken = signIn("ada@example.com").accessToken;
  DeviceRegistryClient registry(base, accessToken, http);
  const PairingSecret secret = PairingSecret::generate();
  const DeviceSummary desk =
      runAwaitable(registry.registerDevice("desk", std::string(kDevicePlatform), secret.code()));
  // The service knows the device by its room key's fingerprint, which registration proved.
  const std::string room = protocol::RoomKey::derive(secret).fingerprint();
  EXPECT_EQ(desk.pairingFingerprint, room);
  const RelayTokenResponse issued =
      runAwaitable(RelayTokenClient(base, accessToken, http).issueToken(room));
  EXPECT_EQ(std::tie(issued.room, issued.expiresInSeconds), std::tuple(room, 300));
  EXPECT_FALSE(issued.token.empty());
  service.advance(std::chrono::seconds(1));  // the list is oldest first
  const DeviceSummary laptop =
      runAwaitable(registry.registerDevice("laptop", "linux", std::nullopt));
  EXPECT_EQ(runAwaitable(registry.listDevices()), (std::vector{desk, laptop}));

  EXPECT_EQ(runAwaitable(registry.lookupDevice(secret.code())), desk);
  EXPECT_EQ(runAwaitable(registry.lookupDevice(PairingSecret::generate().code())), std::nullopt);

  EXPECT_EQ(runAwaitable(registry.renameDevice(desk.id, "study")).name, "study");
  const DeviceSummary reported =
      runAwaitable(registry.reportConnection(desk.id, "100.64.0.7", 47800, 47801));
  EXPECT_EQ(reported.status, "connected");
  EXPECT_EQ(std::tie(reported.lastHost, reported.lastControlPort, reported.lastMediaPort),
            std::tuple("100.64.0.7", 47800, 47801));

  runAwaitable(registry.deleteDevice(laptop.id));
  EXPECT_EQ(runAwaitable(registry.listDevices()), std::vector{reported});
}

// Answers requests on loopback, one connection each, with `answers` in order, as given, and
// keeps the requests as they came.
class AnsweringPeer {
 public:
  explicit AnsweringPeer(std::vector<std::string> answers)
      : served_(std::async(std::launch::async, [this, answers = std::move(answers)] {
          std::vector<std::string> requests;
          for (const std::string& answer : answers) {
            peer_.accept();
            // The request comes in one burst: read until it pauses.
            std::string request;
            std::uint8_t chunk[4096];
            for (auto limit = std::chrono::milliseconds(5000);
                 auto got = peer_.receiveSome(chunk, sizeof chunk, limit);
                 limit = std::chrono::milliseconds(100)) {
              if (*got == 0) break;
              request.append(reinterpret_cast<const char*>(chunk), *got);
            }
            peer_.sendRaw(protocol::asBytes(answer));
            peer_.close();
            requests.push_back(std::move(request));
          }
          return requests;
        })) {}
  explicit AnsweringPeer(std::string answer) : AnsweringPeer(std::vector{std::move(answer)}) {}

  std::string url() const { return "http://127.0.0.1:" + std::to_string(peer_.port()); }
  std::vector<std::string> requests() { return served_.get(); }
  std::string request() { return requests().front(); }

 private:
  testing_support::ScriptedPeer peer_;
  std::future<std::vector<std::string>> served_;
};

std::string jsonAnswer(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// Registration proves the secret with the room key's signature over the account and the
// service's nonce; the code itself, the secret and its plain hash never leave.
TEST(AccountClientRequestTest, RegistrationProvesTheSecretAndNeverSendsTheCode) {
  AnsweringPeer peer(std::vector{
      jsonAnswer("200 OK", R"({"nonce":"n0nce","account":"acc-1","expiresInSeconds":300})"),
      jsonAnswer("201 Created",
                 R"({"id":"d1","name":"desk","platform":"linux","status":"registered"})")});
  const PairingSecret secret = PairingSecret::generate();
  const auto key = protocol::RoomKey::derive(secret);
  DeviceRegistryClient registry(peer.url() + "/api", "t0ken", session());
  runAwaitable(registry.registerDevice("desk", "linux", secret.code()));

  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(requests[0].starts_with("POST /devices/challenge HTTP/1.1\r\n")) << requests[0];
  const std::string& request = requests[1];
  EXPECT_TRUE(request.starts_with("POST /devices HTTP/1.1\r\n")) << request;
  EXPECT_THAT(request, HasSubstr("\r\nAuthorization: Bearer t0ken\r\n"));
  EXPECT_THAT(request, HasSubstr("\r\nContent-Type: application/json\r\n"));
  EXPECT_EQ(boost::json::parse(request.substr(request.find("\r\n\r\n") + 4)),
            (boost::json::object{
                {"name", "desk"},
                {"platform", "linux"},
                {"roomKey", protocol::base64Encode(key.publicKey())},
                {"nonce", "n0nce"},
                {"signature", protocol::base64Encode(key.registrationProof("acc-1", "n0nce"))}}));
  for (const auto& sent : requests) {
    EXPECT_THAT(sent, ::testing::Not(HasSubstr(secret.code())));
    EXPECT_THAT(sent, ::testing::Not(HasSubstr(secret.fingerprint())));
  }
}

TEST(AccountClientRequestTest, TwoHundredsWithoutTheRecordAreDecodingFailures) {
  AnsweringPeer roomless(jsonAnswer("200 OK", R"({"token":"t","expiresInSeconds":300})"));
  const auto relay = failureOf<RelayTokenError>(
      RelayTokenClient(roomless.url(), "t0ken", session()).issueToken("ab"));
  EXPECT_EQ(relay.kind(), Kind::decoding);
  EXPECT_THAT(relay.reason(), HasSubstr("room"));

  AnsweringPeer empty("HTTP/1.1 204 No Content\r\n\r\n");
  const auto login =
      failureOf<AuthClientError>(AuthClient(empty.url(), session()).login("dev", "a@b.c"));
  EXPECT_EQ(login.kind(), Kind::decoding);
  EXPECT_TRUE(empty.request().starts_with("POST /auth/login HTTP/1.1\r\n"));
}

TEST(AccountClientRequestTest, WithoutAnHttpAnswerItIsATransportFailure) {
  AnsweringPeer ssh("SSH-2.0-OpenSSH_9.2p1\r\n");
  const auto failure = failureOf<AuthClientError>(AuthClient(ssh.url(), session()).me("t"));
  EXPECT_EQ(failure.kind(), Kind::transport);
  EXPECT_EQ(failure.reason(), "non-HTTP response");
  // Nothing listens on port 1.
  DeviceRegistryClient registry("http://127.0.0.1:1", "t0ken", session());
  EXPECT_EQ(failureOf<DeviceRegistryError>(registry.listDevices()).reason(), "Connection refused");
  EXPECT_EQ(failureOf<DeviceRegistryError>(registry.renameDevice("a b", "desk")).reason(),
            "invalid url: /devices/a b");
  // A malformed code fails before anything is sent (or it would be refused).
  EXPECT_EQ(failureOf<DeviceRegistryError>(registry.registerDevice("d", "linux", "12ab")).kind(),
            Kind::invalidPairingCode);
}

}  // namespace
}  // namespace lumora::sdk
