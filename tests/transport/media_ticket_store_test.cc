#include "transport/media_ticket_store.h"

#include <gtest/gtest.h>

namespace lumora::transport {
namespace {

using namespace std::chrono_literals;

TEST(MediaTicketStoreTest, TicketsAreOneTimeAndLiveOnlyStrictlyBeforeExpiry) {
  auto now = std::chrono::system_clock::time_point(1000s);
  MediaTicketStore store(30s, [&] { return now; });

  std::string first = store.issue();
  std::string second = store.issue();
  EXPECT_NE(first, second);
  for (const auto& ticket : {first, second}) {
    EXPECT_EQ(ticket.size(), 64u);
    EXPECT_EQ(ticket.find_first_not_of("0123456789abcdef"), std::string::npos);
  }

  EXPECT_FALSE(store.consume("never issued"));
  EXPECT_EQ(store.count(), 2u);
  now += 29s;
  EXPECT_TRUE(store.consume(first));
  EXPECT_FALSE(store.consume(first));
  EXPECT_EQ(store.count(), 1u);

  now += 1s;  // exactly at the expiry of `second`
  EXPECT_EQ(store.count(), 0u);
  EXPECT_FALSE(store.consume(second));

  std::string late = store.issue();
  now += 31s;
  EXPECT_FALSE(store.consume(late));
}

}  // namespace
}  // namespace lumora::transport
