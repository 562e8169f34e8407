#include "sdk/relay_url.h"

#include <gtest/gtest.h>

namespace lumora::sdk {
namespace {

TEST(RelayURLTest, AppendsTheTokenAsTheFirstOrAnotherQueryItem) {
  EXPECT_EQ(appendingRelayToken("wss://relay.example/relay/abc-media", "t0k"),
            "wss://relay.example/relay/abc-media?token=t0k");
  EXPECT_EQ(appendingRelayToken("wss://relay.example/relay/abc?x=1", "t0k"),
            "wss://relay.example/relay/abc?x=1&token=t0k");
  // An empty query counts as none.
  EXPECT_EQ(appendingRelayToken("wss://relay.example/r?", "t"), "wss://relay.example/r??token=t");
}

TEST(RelayURLTest, LeavesTheURLAloneWithoutAUsableToken) {
  EXPECT_EQ(appendingRelayToken("wss://relay.example/r", std::nullopt), "wss://relay.example/r");
  EXPECT_EQ(appendingRelayToken("wss://relay.example/r", ""), "wss://relay.example/r");
  // The token goes in unescaped; one that would make the URL invalid is not appended.
  EXPECT_EQ(appendingRelayToken("wss://relay.example/r", "a b"), "wss://relay.example/r");
  EXPECT_EQ(appendingRelayToken("wss://relay.example/r", "a+b/c="),
            "wss://relay.example/r?token=a+b/c=");
}

}  // namespace
}  // namespace lumora::sdk
