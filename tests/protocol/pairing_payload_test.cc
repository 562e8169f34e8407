#include "protocol/pairing_payload.h"

#include <gtest/gtest.h>

namespace lumora::protocol {
namespace {

const std::string kCode = "0123456789abcdef0123456789abcdef";

TEST(PairingPayloadTest, LinkListsHostPortsAndCodeInOrder) {
  PairingPayload payload{"100.101.102.103", 47800, 47801, kCode};
  EXPECT_EQ(payload.url(), "lumora://pair?host=100.101.102.103&cp=47800&mp=47801&code=" + kCode);
  EXPECT_EQ(PairingPayload::fromURL(payload.url()), payload);
}

TEST(PairingPayloadTest, ValuesThatNeedEncodingRoundTrip) {
  for (std::string host :
       {"fd7a:115c:a1e0::1", "my host&x=1#frag", "desk+top.tailnet.ts.net", "naïve"}) {
    PairingPayload payload{host, 0, 65535, "ab cd/ef"};
    auto parsed = PairingPayload::fromURL(payload.url());
    ASSERT_TRUE(parsed.has_value()) << payload.url();
    EXPECT_EQ(*parsed, payload) << payload.url();
  }
}

TEST(PairingPayloadTest, ParsingFollowsTheLinkRules) {
  const std::string tail = "&cp=1&mp=2&code=" + kCode;
  // Last value wins, items without a value and unknown items are ignored, a path is ignored.
  auto parsed = PairingPayload::fromURL("lumora://pair/ignored?host=a&host=b&flag&x=y" + tail +
                                        "&code=second");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(*parsed, (PairingPayload{"b", 1, 2, "second"}));
  EXPECT_EQ(PairingPayload::fromURL("lumora://pair?host=h%20i&cp=1&mp=2&code=c#fragment"),
            (PairingPayload{"h i", 1, 2, "c"}));

  const std::string rejected[] = {
      "LUMORA://pair?host=a" + tail,
      "lumora://PAIR?host=a" + tail,
      "lumora:pair?host=a" + tail,
      "lumora://pair",
      "lumora://pair?host=" + tail,
      "lumora://pair?host=a&cp=70000&mp=2&code=c",
      "lumora://pair?host=a&cp=-1&mp=2&code=c",
      "lumora://pair?host=a&cp=+1&mp=2&code=c",
      "lumora://pair?host=a&cp=&mp=2&code=c",
      "lumora://pair?host=a&cp=1x&mp=2&code=c",
      "lumora://pair?host=a&cp=1&code=c",
      "lumora://pair?host=a&cp=1&mp=2",
      "lumora://pair?host=a&cp=1&mp=2&code=",
      "not a url at all",
      "lumora://pair?#m2oa",
      "lumora://pair?host=a%zz&cp=1&mp=2&code=c",
      "",
  };
  for (const auto& link : rejected) {
    EXPECT_FALSE(PairingPayload::fromURL(link).has_value()) << link;
  }
}

}  // namespace
}  // namespace lumora::protocol
