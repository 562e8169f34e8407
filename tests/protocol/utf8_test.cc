#include "protocol/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace lumora::protocol {
namespace {

const std::string kMalformed[] = {"\xff",         "\xc3",         "\xc0\x80", "\xe0\x80\x80",
                                  "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80"};

TEST(Utf8Test, WellFormedOnly) {
  EXPECT_TRUE(isValidUTF8(""));
  EXPECT_TRUE(isValidUTF8("plain ascii"));
  EXPECT_TRUE(isValidUTF8("\xc3\xa9\xe2\x9c\x93\xf0\x9f\x91\x8b"));  // é ✓ 👋
  for (const std::string& bad : kMalformed) {
    EXPECT_FALSE(isValidUTF8(bad)) << ::testing::PrintToString(bad);
  }
}

TEST(Utf8Test, EachByteOutsideAWellFormedSequenceBecomesOneReplacementCharacter) {
  const std::string good = "\xc3\xa9\xe2\x9c\x93\xf0\x9f\x91\x8b";
  EXPECT_EQ(toValidUTF8(good), good);
  EXPECT_EQ(toValidUTF8("caf\xe9.txt"), "caf\xef\xbf\xbd.txt");  // Latin-1 é
  // A surrogate's three bytes and an overlong NUL's two are each that many replacements; the
  // well-formed character after a cut-off one survives.
  EXPECT_EQ(toValidUTF8("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(toValidUTF8("\xc0\x80"), "\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(toValidUTF8("\xe2\x9c\xc3\xa9"), "\xef\xbf\xbd\xef\xbf\xbd\xc3\xa9");
  for (const std::string& bad : kMalformed) EXPECT_TRUE(isValidUTF8(toValidUTF8(bad)));
}

}  // namespace
}  // namespace lumora::protocol
