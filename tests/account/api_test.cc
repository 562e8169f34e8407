// The routes' refusals and token lifetimes against the real server on loopback. Which device is
// whose and which names are taken is the store's to decide (store_test runs those rules on both
// databases); each route's success is driven by the client library's own tests against this
// service (sdk_account_tests); here, how each refusal is answered.

#include <gtest/gtest.h>

#include "protocol/base64.h"
#include "service_harness.h"

namespace lumora::account::testing {
namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

const protocol::PairingSecret kSecret = protocol::PairingSecret::generate();
const protocol::RoomKey kKey = protocol::RoomKey::derive(kSecret);
const std::string kPrint = kKey.fingerprint();

std::string text(const json::value& value, const char* key) {
  return std::string(value.as_object().at(key).as_string());
}

class ApiTest : public ::testing::Test {
 protected:
  AccountClient client() const { return service_.client(); }
  std::string tokenOf(const std::string& email) const {
    return text(client().signInAs(email), "accessToken");
  }
  Reply registerDevice(const std::string& token, json::object body) const {
    return client().post("/devices", body, token);
  }

  ServiceUnderTest service_;
};

TEST_F(ApiTest, AccessTokensLastAQuarterOfAnHourAndRefreshTokensThirtyDays) {
  auto tokens = client().signInAs("ada@example.com");
  service_.advance(14min);
  EXPECT_EQ(client().get("/auth/me", text(tokens, "accessToken")).status, 200);
  service_.advance(2min);
  Reply expired = client().get("/auth/me", text(tokens, "accessToken"));
  EXPECT_EQ(expired.status, 401);
  EXPECT_EQ(expired.header("WWW-Authenticate"), "Bearer");
  service_.advance(std::chrono::hours(24 * 31));
  Reply stale = client().post("/auth/refresh", {{"refreshToken", tokens.at("refreshToken")}});
  EXPECT_EQ(stale.status, 401);
  EXPECT_EQ(stale.json().at("error"), "refresh_token_expired");
}

TEST_F(ApiTest, RefreshRotatesAndASecondUseEndsTheWholeSession) {
  auto first = client().signInAs("ada@example.com");
  Reply refreshed = client().post("/auth/refresh", {{"refreshToken", first.at("refreshToken")}});
  ASSERT_EQ(refreshed.status, 200);
  const auto second = refreshed.json().as_object();
  EXPECT_NE(second.at("refreshToken"), first.at("refreshToken"));

  // The old token again: a copy is in someone else's hands, so the rotated one dies too.
  Reply reused = client().post("/auth/refresh", {{"refreshToken", first.at("refreshToken")}});
  EXPECT_EQ(reused.status, 401);
  EXPECT_EQ(reused.json().at("error"), "refresh_token_reused");
  EXPECT_EQ(client().post("/auth/refresh", {{"refreshToken", second.at("refreshToken")}}).status,
            401);
}

TEST_F(ApiTest, LogoutEndsTheWholeChainOfTheTokenItIsGiven) {
  auto first = client().signInAs("ada@example.com");
  const auto second =
      client().post("/auth/refresh", {{"refreshToken", first.at("refreshToken")}}).json();
  const auto other = client().signInAs("ada@example.com");  // another sign-in of the same user

  // No bearer: the holder of a refresh token may end its own sign-in, even with a spent token.
  Reply ended = client().post("/auth/logout", {{"refreshToken", first.at("refreshToken")}});
  EXPECT_EQ(ended.status, 204);
  EXPECT_TRUE(ended.body.empty());
  Reply refused = client().post("/auth/refresh", {{"refreshToken", second.at("refreshToken")}});
  EXPECT_EQ(refused.status, 401);
  EXPECT_EQ(refused.json().at("error"), "invalid_refresh_token");
  // The other sign-in goes on.
  EXPECT_EQ(client().post("/auth/refresh", {{"refreshToken", other.at("refreshToken")}}).status,
            200);

  // Whether a token is known is not told (a body without one: the refusals' table).
  EXPECT_EQ(client().post("/auth/logout", {{"refreshToken", "lf1.made-up"}}).status, 204);
}

TEST_F(ApiTest, EveryOwnRouteWantsAValidBearer) {
  const std::string forged = tokenOf("ada@example.com") + "x";
  for (auto [method, target] : std::vector<std::pair<std::string, std::string>>{
           {"GET", "/auth/me"},
           {"GET", "/devices"},
           {"POST", "/devices"},
           {"GET", "/devices/lookup?fingerprint=" + kPrint},
           {"PATCH", "/devices/x"},
           {"DELETE", "/devices/x"},
           {"POST", "/devices/x/connection"},
           {"POST", "/relay/token"}}) {
    EXPECT_EQ(client().request(method, target).status, 401) << method << " " << target;
    EXPECT_EQ(client().request(method, target, "{}", forged).status, 401)
        << method << " " << target;
  }
}

TEST_F(ApiTest, RegisteringTwiceIsAConflictUntilTheFingerprintArrives) {
  const std::string token = tokenOf("ada@example.com");
  Reply created = registerDevice(token, {{"name", "desk"}, {"platform", "linux"}});
  ASSERT_EQ(created.status, 201);
  EXPECT_EQ(text(created.json(), "createdAt").size(), 24u);  // 2026-01-02T03:04:05.678Z

  Reply conflict = registerDevice(token, {{"name", "desk"}, {"platform", "linux"}});
  EXPECT_EQ(conflict.status, 409);
  EXPECT_EQ(conflict.json().at("error"), "device_exists");

  Reply serving = client().registerDevice(token, "desk", kSecret);
  ASSERT_EQ(serving.status, 200);
  EXPECT_EQ(serving.json().at("id"), created.json().at("id"));
  EXPECT_EQ(serving.json().at("pairingFingerprint"), json::value(kPrint));
}

// Another account learns a device's fingerprint and public room key (device lists, relay URLs)
// but not its pairing secret: it cannot register the device, so it gets no relay token for it.
TEST_F(ApiTest, RegisteringADeviceTakesAProofOfItsPairingSecret) {
  const std::string ada = tokenOf("ada@example.com");
  const std::string eve = tokenOf("eve@example.com");
  ASSERT_EQ(client().registerDevice(ada, "desk", kSecret).status, 201);

  const auto eveKey = protocol::RoomKey::derive(protocol::PairingSecret::generate());
  // Ada's public key signed with a key of eve's own; a proof ada made, replayed by eve.
  json::object forged = client().registration(eve, "stolen", eveKey);
  forged["roomKey"] = protocol::base64Encode(kKey.publicKey());
  for (const auto& body : {forged, client().registration(ada, "stolen", kKey)}) {
    Reply refused = registerDevice(eve, body);
    EXPECT_EQ(refused.status, 403) << refused.body;
  }
  // A proof whose nonce has expired is refused even from the secret's holder.
  json::object late = client().registration(ada, "stolen", kKey);
  service_.advance(6min);
  EXPECT_EQ(registerDevice(ada, late).status, 403);
  Reply refused = client().post("/relay/token", {{"fingerprint", kPrint}}, eve);
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.json().at("error"), "forbidden");
  EXPECT_EQ(client().get("/devices", eve).json().as_array().size(), 0u);
  // A lookup finds only the caller's own devices.
  EXPECT_EQ(client().get("/devices/lookup?fingerprint=" + kPrint, eve).status, 404);
  EXPECT_EQ(client().get("/devices/lookup?fingerprint=" + kPrint, ada).status, 200);
  EXPECT_EQ(client().get("/devices/lookup?fingerprint=xyz", ada).status, 400);

  // A second phone's account that knows the secret registers the same computer.
  ASSERT_EQ(client().registerDevice(eve, "family desk", kSecret).status, 201);
  EXPECT_EQ(client().post("/relay/token", {{"fingerprint", kPrint}}, eve).status, 200);
}

// Every refusal is a JSON error with its code; a 405 names the methods the route takes, matched
// whole (no part of an allowed method gets through). What each body must hold, word for word,
// is request_bodies_test's.
TEST_F(ApiTest, RefusalsAreJsonErrorsWithTheirStatusAndCode) {
  const std::string token = tokenOf("ada@example.com");
  struct Refusal {
    std::string method, target, body;
    int status;
    std::string error;
    std::string allow = {};  // only a 405 names them
  };
  const std::string login = "/auth/login", devices = "/devices";
  for (const auto& [method, target, body, status, error, allow] : std::vector<Refusal>{
           {"POST", login, R"({"provider":"myspace","token":"x"})", 400, "unsupported_provider"},
           {"POST", login, R"({"provider":"dev"})", 400, "bad_request"},
           {"POST", "/auth/logout", R"({"token":"x"})", 400, "bad_request"},
           {"POST", devices, R"({"name":)", 400, "bad_request"},
           {"POST", devices, std::string(70 * 1024, ' '), 413, "payload_too_large"},
           {"GET", "/nowhere", "", 404, "not_found"},
           {"GET", "/relay/" + kPrint, "", 400, "bad_request"},  // no upgrade
           // A device that is not the caller's (store_test: whose it is) is not found.
           {"PATCH", "/devices/x", R"({"name":"study"})", 404, "not_found"},
           {"POST", "/devices/x/connection", R"({"host":"h","controlPort":1,"mediaPort":2})", 404,
            "not_found"},
           {"DELETE", "/devices/x", "", 404, "not_found"},
           {"GET", login, "", 405, "method_not_allowed", "POST"},
           {"GET", "/auth/logout", "", 405, "method_not_allowed", "POST"},
           {"ET", devices, "{}", 405, "method_not_allowed", "GET, POST"},
           {"GETS", "/auth/me", "{}", 405, "method_not_allowed", "GET"},
           {"OST", "/relay/token", "{}", 405, "method_not_allowed", "POST"},
           {"E", "/devices/x", "{}", 405, "method_not_allowed", "PATCH, DELETE"},
           {"POS", "/devices/x/connection", "{}", 405, "method_not_allowed", "POST"}}) {
    SCOPED_TRACE(method + " " + target + " " + body.substr(0, 40));
    const Reply refused = client().request(method, target, body, token);
    EXPECT_EQ(refused.status, status);
    EXPECT_EQ(refused.header("Content-Type"), "application/json");
    const json::value reply = refused.json();
    EXPECT_EQ(reply.is_object() ? reply.at("error") : json::value(), json::value(error));
    EXPECT_EQ(refused.header("Allow"), allow);
  }
  // The server is still there for the next one.
  EXPECT_EQ(client().get("/health").status, 200);
}

}  // namespace
}  // namespace lumora::account::testing
