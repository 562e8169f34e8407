// The account clients against the real account service on loopback, in development mode; and,
// for what that service never answers, against a scripted HTTP peer.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <future>

#include "account/service_harness.h"
#include "asio/http_client.h"
#include "protocol/pairing_secret.h"
#include "sdk/account/auth_client.h"
#include "sdk/account/device_registry_client.h"
#include "sdk/account/relay_token_client.h"
#include "sdk/scripted_peer.h"
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
  try {
    runAwaitable(std::move(operation));
  } catch (const Error& error) {
    return error;
  }
  throw std::runtime_error("the call did not fail");
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

TEST_F(AccountClientsTest, KeepsTheAccountsDevices) {
  DeviceRegistryClient registry(base, signIn("ada@example.com").accessToken, http);
  const PairingSecret secret = PairingSecret::generate();
  const DeviceSummary desk =
      runAwaitable(registry.registerDevice("desk", std::string(kDevicePlatform), secret.code()));
  EXPECT_EQ(desk.pairingFingerprint, secret.fingerprint());
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

TEST_F(AccountClientsTest, IssuesRelayTokensForTheUsersOwnAgents) {
  const std::string accessToken = signIn("ada@example.com").accessToken;
  const PairingSecret secret = PairingSecret::generate();
  runAwaitable(
      DeviceRegistryClient(base, accessToken, http).registerDevice("desk", "linux", secret.code()));
  const RelayTokenClient relay(base, accessToken, http);

  const RelayTokenResponse issued = runAwaitable(relay.issueToken(secret.fingerprint()));
  EXPECT_EQ(issued.room, secret.fingerprint());
  EXPECT_FALSE(issued.token.empty());
  EXPECT_EQ(issued.expiresInSeconds, 300);
  EXPECT_EQ(failureOf<RelayTokenError>(relay.issueToken(PairingSecret::generate().fingerprint()))
                .status(),
            403);
}

// Answers one request on loopback with `answer`, as given, and keeps the request as it came.
class OneAnswerPeer {
 public:
  explicit OneAnswerPeer(std::string answer)
      : served_(std::async(std::launch::async, [this, answer = std::move(answer)] {
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
          return request;
        })) {}

  std::string url() const { return "http://127.0.0.1:" + std::to_string(peer_.port()); }
  std::string request() { return served_.get(); }

 private:
  testing_support::ScriptedPeer peer_;
  std::future<std::string> served_;
};

std::string jsonAnswer(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

TEST(AccountClientRequestTest, RegistrationSendsTheFingerprintAndNeverTheCode) {
  OneAnswerPeer peer(jsonAnswer(
      "201 Created",
      R"({"id":"d1","name":"desk","platform":"linux","status":"registered","extra":1})"));
  const PairingSecret secret = PairingSecret::generate();
  DeviceRegistryClient registry(peer.url() + "/api", "t0ken", session());
  runAwaitable(registry.registerDevice("desk", "linux", secret.code()));

  const std::string request = peer.request();
  EXPECT_TRUE(request.starts_with("POST /devices HTTP/1.1\r\n")) << request;
  EXPECT_THAT(request, HasSubstr("\r\nAuthorization: Bearer t0ken\r\n"));
  EXPECT_THAT(request, HasSubstr("\r\nContent-Type: application/json\r\n"));
  EXPECT_EQ(
      boost::json::parse(request.substr(request.find("\r\n\r\n") + 4)),
      (boost::json::object{
          {"name", "desk"}, {"platform", "linux"}, {"pairingFingerprint", secret.fingerprint()}}));
  EXPECT_THAT(request, ::testing::Not(HasSubstr(secret.code())));
}

TEST(AccountClientRequestTest, TwoHundredsWithoutTheRecordAreDecodingFailures) {
  OneAnswerPeer roomless(jsonAnswer("200 OK", R"({"token":"t","expiresInSeconds":300})"));
  const auto relay = failureOf<RelayTokenError>(
      RelayTokenClient(roomless.url(), "t0ken", session()).issueToken("ab"));
  EXPECT_EQ(relay.kind(), Kind::decoding);
  EXPECT_THAT(relay.reason(), HasSubstr("room"));

  OneAnswerPeer empty("HTTP/1.1 204 No Content\r\n\r\n");
  const auto login =
      failureOf<AuthClientError>(AuthClient(empty.url(), session()).login("dev", "a@b.c"));
  EXPECT_EQ(login.kind(), Kind::decoding);
  EXPECT_TRUE(empty.request().starts_with("POST /auth/login HTTP/1.1\r\n"));
}

TEST(AccountClientRequestTest, WithoutAnHttpAnswerItIsATransportFailure) {
  OneAnswerPeer ssh("SSH-2.0-OpenSSH_9.2p1\r\n");
  for (const std::string& base : {ssh.url(), std::string("file:///tmp/account")}) {
    const auto failure = failureOf<AuthClientError>(AuthClient(base, session()).me("t"));
    EXPECT_EQ(failure.kind(), Kind::transport);
    EXPECT_EQ(failure.reason(), "non-HTTP response") << base;
  }
  // Nothing listens on port 1.
  DeviceRegistryClient registry("http://127.0.0.1:1", "t0ken", session());
  EXPECT_EQ(failureOf<DeviceRegistryError>(registry.listDevices()).reason(), "Connection refused");
  EXPECT_EQ(failureOf<DeviceRegistryError>(registry.renameDevice("a b", "desk")).reason(),
            "invalid url: /devices/a b");
  // A malformed code fails before anything is sent (or it would be refused).
  EXPECT_EQ(failureOf<DeviceRegistryError>(registry.lookupDevice("not-a-code")).kind(),
            Kind::invalidPairingCode);
  EXPECT_EQ(failureOf<DeviceRegistryError>(registry.registerDevice("d", "linux", "12ab")).kind(),
            Kind::invalidPairingCode);
}

TEST(HttpClientTest, ARequestMayChooseItsOwnTimeOut) {
  testing_support::ScriptedPeer silent;  // the kernel accepts; nobody answers
  net::FetchRequest request;
  request.url = "http://127.0.0.1:" + std::to_string(silent.port()) + "/";
  request.timeout = std::chrono::milliseconds(200);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(runAwaitable(session()->fetch(request)), std::runtime_error);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
}  // namespace lumora::sdk
