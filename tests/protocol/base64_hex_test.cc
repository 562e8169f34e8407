#include <gtest/gtest.h>

#include "protocol/base64.h"
#include "protocol/hex.h"

namespace lumora::protocol {
namespace {

TEST(Base64Test, Rfc4648VectorsBothWays) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encode(asBytes(plain)), encoded);
    EXPECT_EQ(base64Decode(encoded), bytesOf(plain)) << encoded;
  }
  // The standard alphabet, with plus and slash.
  EXPECT_EQ(base64Encode(Bytes{0xfb, 0xff, 0xbf}), "+/+/");
}

TEST(Base64Test, LargeInputsRoundTrip) {
  Bytes data(1 << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7919);
  EXPECT_EQ(base64Decode(base64Encode(data)), data);
}

TEST(Base64Test, AnythingButPaddedStandardBase64IsRefused) {
  for (const std::string& bad : std::vector<std::string>{
           "Zg", "Zg=", "Zm9vY", "Z===", "Zg==Zg==", "Zm=v", " Zm9v", "Zm9v ", "Zm9v\n", "Zm 9v",
           "Zm9-", "Zm9_", "Zm9\xff", std::string("Zm9\0", 4)}) {
    EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
  }
}

TEST(HexTest, LowerCaseOutAndEitherCaseIn) {
  EXPECT_EQ(hexString(Bytes{0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
  EXPECT_EQ(bytesFromHex("000FA0ff"), (Bytes{0x00, 0x0f, 0xa0, 0xff}));
  EXPECT_EQ(bytesFromHex(""), Bytes{});
  EXPECT_FALSE(bytesFromHex("abc").has_value());
  EXPECT_FALSE(bytesFromHex("zz").has_value());
  EXPECT_FALSE(bytesFromHex("0x").has_value());
}

}  // namespace
}  // namespace lumora::protocol
