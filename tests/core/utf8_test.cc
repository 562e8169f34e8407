#include "core/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace lumora::core {
namespace {

TEST(Utf8Test, WellFormedOnly) {
  EXPECT_TRUE(isValidUTF8(""));
  EXPECT_TRUE(isValidUTF8("plain ascii"));
  EXPECT_TRUE(isValidUTF8("\xc3\xa9\xe2\x9c\x93\xf0\x9f\x91\x8b"));  // é ✓ 👋
  for (std::string bad :
       {"\xff", "\xc3", "\xc0\x80", "\xe0\x80\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80"}) {
    EXPECT_FALSE(isValidUTF8(bad)) << ::testing::PrintToString(bad);
  }
}

}  // namespace
}  // namespace lumora::core
