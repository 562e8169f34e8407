#include "protocol/envelope.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace lumora::protocol {
namespace {

using ::testing::HasSubstr;

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

DecodeResult<Envelope> decodeText(const std::string& json) { return Envelope::decode(json); }

TEST(EnvelopeTest, RequestsAndResponsesHaveTheCanonicalShape) {
  Envelope ping = Envelope::request(PingRequest{});
  std::string json = text(ping.encode());

  EXPECT_EQ(json, R"({"version":1,"id":")" + ping.id.rawValue +
                      R"(","payload":{"type":"ping","data":{}}})");

  // A response correlates to its request and carries an id of its own.
  Envelope reply = Envelope::response(ping.id, Ack{});
  EXPECT_NE(reply.id, ping.id);
  EXPECT_EQ(text(reply.encode()), R"({"version":1,"id":")" + reply.id.rawValue +
                                      R"(","correlationID":")" + ping.id.rawValue +
                                      R"(","payload":{"type":"ack","data":{}}})");
}

TEST(EnvelopeTest, ReadersAreLenientWhereTheFormatAllows) {
  // Any integer version, a null correlation, unknown keys anywhere, any key order.
  auto decoded = decodeText(
      R"({"extra":[1,2],"payload":{"data":{"deviceID":"phone","more":true},"type":"auth.begin"},)"
      R"("correlationID":null,"id":"abc","version":7})");
  ASSERT_TRUE(decoded.ok()) << decoded.error().description;
  EXPECT_EQ(decoded->version, 7);
  EXPECT_EQ(decoded->id.rawValue, "abc");
  EXPECT_FALSE(decoded->correlationID.has_value());
  EXPECT_EQ(decoded->payload, Payload(AuthBegin{"phone"}));

  // A field-less record's data is never looked into, but it must be there.
  EXPECT_TRUE(decodeText(R"({"version":1,"id":"a","payload":{"type":"ping","data":5}})").ok());
  EXPECT_FALSE(decodeText(R"({"version":1,"id":"a","payload":{"type":"ping"}})").ok());
}

TEST(EnvelopeTest, MalformedEnvelopesFailWithADescriptionNamingTheFault) {
  struct Case {
    std::string json;
    std::string mentions;
  };
  const Case cases[] = {
      {R"(not json)", "invalid JSON"},
      {R"([1,2])", "expected a JSON object"},
      {R"({"id":"a","payload":{"type":"ping","data":{}}})", "version: missing key"},
      {R"({"version":"1","id":"a","payload":{"type":"ping","data":{}}})", "version"},
      {R"({"version":1.5,"id":"a","payload":{"type":"ping","data":{}}})", "version"},
      {R"({"version":1,"payload":{"type":"ping","data":{}}})", "id: missing key"},
      {R"({"version":1,"id":7,"payload":{"type":"ping","data":{}}})", "id: expected a string"},
      {R"({"version":1,"id":"a","correlationID":3,"payload":{"type":"ping","data":{}}})",
       "correlationID"},
      {R"({"version":1,"id":"a"})", "payload: missing key"},
      {R"({"version":1,"id":"a","payload":[]})", "payload: expected an object"},
      {R"({"version":1,"id":"a","payload":{"data":{}}})", "payload.type: missing key"},
      {R"({"version":1,"id":"a","payload":{"type":"PING","data":{}}})", "unknown message type"},
      {R"({"version":1,"id":"a","payload":{"type":"input.key","data":[]}})",
       "payload.data: expected an object"},
      {R"({"version":1,"id":"a","payload":{"type":"input.key","data":{"action":"press"}}})",
       "payload.data.keyCode: missing key"},
  };
  for (const auto& c : cases) {
    auto decoded = decodeText(c.json);
    ASSERT_FALSE(decoded.ok()) << c.json;
    EXPECT_THAT(decoded.error().description, HasSubstr(c.mentions)) << c.json;
  }
}

TEST(EnvelopeTest, HostileBytesNeverCrashTheDecoder) {
  std::string deep(100000, '[');
  std::string invalidUtf8 =
      "{\"version\":1,\"id\":\"\xff\xfe\",\"payload\":{\"type\":\"ping\",\"data\":{}}}";
  std::string hugeNumber = R"({"version":1)" + std::string(5000, '0') +
                           R"(,"id":"a","payload":{"type":"ping","data":{}}})";
  std::string hugeExponent = R"({"version":1e999999,"id":"a","payload":{"type":"ping","data":{}}})";
  std::string nulInside =
      std::string(R"({"version":1,"id":"a","payload":{"type":"ping)") + '\0' + R"(","data":{}}})";
  for (const std::string& hostile : {deep, invalidUtf8, hugeNumber, hugeExponent, nulInside,
                                     std::string(), std::string("\0\0\0", 3)}) {
    EXPECT_FALSE(decodeText(hostile).ok());
  }
}

}  // namespace
}  // namespace lumora::protocol
