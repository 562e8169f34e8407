// What a load balancer needs from an instance of the service, and what its operators see: the
// health check, draining, the metrics on their own address, and the client address a trusted
// balancer forwards. (The program draining on SIGTERM is balancer_e2e_tests'.)

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "account/metrics.h"
#include "protocol/room_key.h"
#include "service_harness.h"
#include "support/eventually.h"
#include "support/postgres_server.h"
#include "support/raw_client.h"

namespace lumora::account::testing {
namespace {

using namespace std::chrono_literals;
using testing_support::eventually;

// Asks for /healthz on `connection`, kept open across requests as a balancer's pool keeps one:
// the only way to ask an instance anything once it has stopped accepting. The answer's text.
std::string askHealth(testing_support::RawClient& connection) {
  connection.sendRaw(protocol::asBytes("GET /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  std::string answer;
  std::uint8_t chunk[4096];
  while (!answer.ends_with("}")) {
    const auto got = connection.receiveSome(chunk, sizeof chunk, 10s);
    if (!got || *got == 0) break;
    answer.append(reinterpret_cast<const char*>(chunk), *got);
  }
  return answer;
}

// The value of `series` (its name and labels as the exposition writes them) in a scrape.
std::optional<double> metricValue(const std::string& exposition, const std::string& series) {
  const auto line = exposition.find("\n" + series + " ");
  if (line == std::string::npos) return std::nullopt;
  return std::stod(exposition.substr(line + series.size() + 2));
}

TEST(Metrics, AreWrittenInTheTextFormatWithEscapedLabelsAndCumulativeBuckets) {
  MetricsRegistry registry;
  registry.counter("b_total", "B things", {{"path", "a\"b\\c\nd"}}).add(2);
  registry.counter("b_total", "B things", {{"path", "plain"}}).add();
  auto& seconds = registry.histogram("a_seconds", "A time", {0.1, 1});
  for (double value : {0.05, 0.1, 0.5, 3.0}) seconds.observe(value);

  EXPECT_EQ(registry.exposition(),
            "# HELP a_seconds A time\n"
            "# TYPE a_seconds histogram\n"
            "a_seconds_bucket{le=\"0.1\"} 2\n"
            "a_seconds_bucket{le=\"1\"} 3\n"
            "a_seconds_bucket{le=\"+Inf\"} 4\n"
            "a_seconds_sum 3.65\n"
            "a_seconds_count 4\n"
            "# HELP b_total B things\n"
            "# TYPE b_total counter\n"
            "b_total{path=\"a\\\"b\\\\c\\nd\"} 2\n"
            "b_total{path=\"plain\"} 1\n");
}

TEST(Metrics, RoutesAreAFixedSetWhateverTheClientAsksFor) {
  EXPECT_EQ(routeOf("/devices/3f2a/connection?x=1"), "/devices/{id}/connection");
  EXPECT_EQ(routeOf("/devices/3f2a"), "/devices/{id}");
  EXPECT_EQ(routeOf("/relay/abc?token=secret"), "/relay/{room}");
  EXPECT_EQ(routeOf("/relay/token"), "/relay/token");
  EXPECT_EQ(routeOf("/app/main.js"), "/app/");
  EXPECT_EQ(routeOf("/anything/the/client/likes"), "other");
  // So are providers: MetricsEndpoint's sign-in with a made-up one is counted as "other".
}

// A room with its host (proved with the room key) and a phone, through the service's relay.
struct Room {
  Room(ServiceUnderTest& service, const std::string& email)
      : secret(protocol::PairingSecret::generate()),
        key(protocol::RoomKey::derive(secret)),
        access(service.client().signInWithDevice(email, secret)),
        host(RelayClient::host(service.url(), key.fingerprint(), key)),
        peer(service.url(), "/relay/" + key.fingerprint() + "?token=" +
                                service.client().relayToken(access, key.fingerprint())) {
    EXPECT_EQ(peer.status(), 101);
    EXPECT_TRUE(host->receive());  // the relay's notice of the peer
  }
  protocol::PairingSecret secret;
  protocol::RoomKey key;
  std::string access;
  std::unique_ptr<RelayClient> host;
  RelayClient peer;
};

ServiceUnderTest withMetrics(AddressRateLimiter::Rate loginRate = {}) {
  return ServiceUnderTest([&](ServiceConfig& config) {
    config.metricsListen = "127.0.0.1:0";
    config.metricsHost = "127.0.0.1";
    config.loginRate = loginRate;
  });
}

TEST(MetricsEndpoint, CountsWhatTheServiceDidAndIsNotOnThePublicPort) {
  auto service = withMetrics({0.001, 2});
  const std::string metricsUrl = service.service().metricsUrl();
  ASSERT_FALSE(metricsUrl.empty());
  EXPECT_EQ(service.client().get("/metrics").status, 404);
  EXPECT_EQ(AccountClient(metricsUrl).get("/").status, 404);

  Room room(service, "ops@example.com");  // one sign-in
  room.peer.sendBinary(std::string(1000, 'p'));
  ASSERT_EQ(room.host->receive()->data.size(), 1000u);
  EXPECT_EQ(service.client().post("/auth/login", {{"provider", "nope"}, {"token", "x"}}).status,
            400);
  EXPECT_EQ(service.client().post("/auth/login", {{"provider", "dev"}, {"token", "a@b.c"}}).status,
            429);  // the burst of two is spent

  const Reply scraped = AccountClient(metricsUrl).get("/metrics");
  ASSERT_EQ(scraped.status, 200);
  EXPECT_EQ(scraped.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const std::string& text = scraped.body;
  for (const auto& [series, value] : std::vector<std::pair<std::string, double>>{
           {"lumora_relay_rooms_open", 1},
           {"lumora_relay_bytes_total{direction=\"peer_to_host\"}", 1000},
           {"lumora_sign_ins_total{provider=\"other\",outcome=\"unsupported_provider\"}", 1},
           {"lumora_limits_hit_total{limit=\"login_rate\"}", 1},
           {"lumora_http_requests_total{route=\"/relay/{room}\",status=\"101\"}", 2},
           {"lumora_draining", 0}}) {
    EXPECT_EQ(metricValue(text, series), value) << series << " in\n" << text;
  }
  EXPECT_GT(metricValue(text, "lumora_database_seconds_count"), 3);
}

TEST(Draining, ClosesBothSidesOfEveryRoomWith1012AndTellsTheBalancerOnItsOwnConnection) {
  auto service = withMetrics();
  const std::string& url = service.url();
  testing_support::RawClient balancer(std::stoi(url.substr(url.rfind(':') + 1)));
  EXPECT_TRUE(askHealth(balancer).starts_with("HTTP/1.1 200 "));
  Room first(service, "a@example.com");
  Room second(service, "b@example.com");

  service.service().drain();
  for (RelayClient* side : {first.host.get(), &first.peer, second.host.get(), &second.peer}) {
    EXPECT_TRUE(side->closedWithin(10s));
    EXPECT_EQ(side->closeCode(), 1012);
  }
  const std::string draining = askHealth(balancer);
  EXPECT_TRUE(draining.starts_with("HTTP/1.1 503 ")) << draining;
  EXPECT_NE(draining.find("\r\nConnection: close\r\n"), std::string::npos) << draining;
  EXPECT_TRUE(draining.ends_with(R"({"status":"draining"})")) << draining;
  EXPECT_TRUE(eventually([&] { return service.service().drained(); }));
  // Nobody new gets in, and the operators see why.
  EXPECT_THROW(service.client().get("/health"), std::exception);
  const std::string text = AccountClient(service.service().metricsUrl()).get("/metrics").body;
  EXPECT_EQ(metricValue(text, "lumora_draining"), 1);
}

TEST(HealthCheck, FailsWhenTheDatabaseDoesNot) {
  auto* postgres = testing_support::PostgresServer::shared();
  if (postgres == nullptr) {
    GTEST_SKIP() << "PostgreSQL cannot start here: " << testing_support::PostgresServer::why();
  }
  const std::string database = postgres->freshDatabase();
  ServiceUnderTest service([&](ServiceConfig& config) { config.database = database; });
  ASSERT_EQ(service.client().get("/healthz").status, 200);
  ASSERT_TRUE(postgres->dropDatabase(database));  // away under the instance
  const Reply failing = service.client().get("/healthz");
  EXPECT_EQ(failing.status, 503);
  EXPECT_EQ(failing.json(), boost::json::parse(R"({"status":"database_unavailable"})"));
}

// Sign-in attempts are limited per client address (the bucket's arithmetic is limits_test's):
// the limited are told when to come back, and failed attempts count too. Behind a balancer
// every request comes from its address, so a trusted balancer's forwarded address is the
// client; nobody else's is.
TEST(SignInLimit, IsPerClientAddressAndTheLimitedAreToldWhenToComeBack) {
  auto login = [](const ServiceUnderTest& service, const std::string& forwardedFor,
                  const std::string& from = {}) {
    return AccountClient(service.url(), from)
        .request("POST", "/auth/login", R"({"provider":"dev","token":"a@b.c"})", {},
                 {{"Content-Type", "application/json"}, {"X-Forwarded-For", forwardedFor}});
  };
  ServiceUnderTest direct([](ServiceConfig& config) { config.loginRate = {10, 2}; });
  EXPECT_EQ(direct.client().post("/auth/login", {{"provider", "dev"}}).status, 400);
  EXPECT_EQ(login(direct, "203.0.113.7").status, 200);
  const Reply limited = login(direct, "198.51.100.2");
  EXPECT_EQ(limited.status, 429);
  EXPECT_EQ(limited.json().at("error"), "too_many_requests");
  EXPECT_EQ(limited.header("Retry-After"), "6");  // one attempt's refill at 10 a minute
  EXPECT_EQ(login(direct, "198.51.100.2", "127.0.0.2").status, 200);  // another machine

  ServiceUnderTest proxied([](ServiceConfig& config) {
    config.loginRate = {0.001, 1};
    config.server.trustedProxies = {"127.0.0.1"};
  });
  EXPECT_EQ(login(proxied, "203.0.113.7").status, 200);
  EXPECT_EQ(login(proxied, "203.0.113.7").status, 429);
  // Only the balancer's own entry counts: what the client put before it is the client's say.
  EXPECT_EQ(login(proxied, "203.0.113.7, 198.51.100.2").status, 200);
  EXPECT_EQ(login(proxied, "not an address").status, 200);  // the proxy itself
  EXPECT_EQ(login(proxied, "garbage again").status, 429);
}

}  // namespace
}  // namespace lumora::account::testing
