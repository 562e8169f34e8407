// The account API's records as both ends write them: the browser client reads the same JSON,
// so keys, their order and what is left out are the wire's, not the C++ code's.

#include "protocol/account_records.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "protocol/json_record_codec.h"

namespace lumora::protocol {
namespace {

template <class T>
std::string wire(const T& record) {
  return boost::json::serialize(json_codec::encodeValue(record, {}));
}

template <class T>
T decoded(std::string_view text) {
  T record{};
  json_codec::Failure failure;
  EXPECT_TRUE(json_codec::decodeValue(boost::json::parse(text), record, failure))
      << failure.describe();
  return record;
}

TEST(AccountRecords, RepliesKeepTheServicesKeysOrderAndLeaveOutWhatIsUnknown) {
  DeviceSummary device{"d1", "desk", "linux", "connected", "2026-01-02T03:04:05.678Z",
                       {},   {},     {},      {},          {}};
  EXPECT_EQ(wire(device), R"({"id":"d1","name":"desk","platform":"linux","status":"connected",)"
                          R"("createdAt":"2026-01-02T03:04:05.678Z"})");
  device.pairingFingerprint = std::string(64, 'a');
  device.lastSeenAt = "2026-01-02T03:04:06.000Z";
  device.lastHost = "100.64.0.7";
  device.lastControlPort = 47800;
  device.lastMediaPort = 65535;
  const std::string full = wire(std::vector{device});
  EXPECT_EQ(full, R"([{"id":"d1","name":"desk","platform":"linux","status":"connected",)"
                  R"("createdAt":"2026-01-02T03:04:05.678Z","pairingFingerprint":")" +
                      std::string(64, 'a') +
                      R"(","lastSeenAt":"2026-01-02T03:04:06.000Z","lastHost":"100.64.0.7",)"
                      R"("lastControlPort":47800,"lastMediaPort":65535}])");
  EXPECT_EQ(decoded<std::vector<DeviceSummary>>(full), std::vector{device});

  const AuthTokens tokens{"a", "lf1.r", {"u1", "dev", "ada@example.com", std::nullopt}};
  EXPECT_EQ(wire(tokens), R"({"accessToken":"a","refreshToken":"lf1.r",)"
                          R"("user":{"id":"u1","provider":"dev","email":"ada@example.com"}})");
  EXPECT_EQ(wire(RelayTokenResponse{"lr1.t", "room", 300}),
            R"({"token":"lr1.t","room":"room","expiresInSeconds":300})");
}

}  // namespace
}  // namespace lumora::protocol
