#include "cli_args.h"

#include <gtest/gtest.h>

namespace lumora::cli {
namespace {

const std::vector<OptionSpec> kSpecs = {{"out", true}, {"quiet", false}, {"shell", true}};

TEST(ParseArgsTest, SplitsWordsValuesAndFlags) {
  ParsedArgs parsed = parseArgs({"a", "--out", "x.mp4", "b", "--quiet", "--shell=/bin/sh"}, kSpecs);
  EXPECT_EQ(parsed.positionals, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(parsed.value("out"), "x.mp4");
  EXPECT_EQ(parsed.value("shell"), "/bin/sh");
  EXPECT_TRUE(parsed.has("quiet"));
  EXPECT_EQ(parsed.value("quiet"), "");
  EXPECT_FALSE(parsed.has("missing"));
}

TEST(ParseArgsTest, NegativeNumbersAndDoubleDashAreWords) {
  ParsedArgs parsed = parseArgs({"-3", "-0.5", "--", "--out", "-"}, kSpecs);
  EXPECT_EQ(parsed.positionals, (std::vector<std::string>{"-3", "-0.5", "--out", "-"}));
  EXPECT_FALSE(parsed.has("out"));
}

TEST(ParseArgsTest, StopAtFirstWordLeavesTheRemoteCommandAlone) {
  ParsedArgs parsed =
      parseArgs({"--shell", "/bin/bash", "ls", "--out", "-la", "--quiet"}, kSpecs, true);
  EXPECT_EQ(parsed.value("shell"), "/bin/bash");
  EXPECT_EQ(parsed.positionals, (std::vector<std::string>{"ls", "--out", "-la", "--quiet"}));
  EXPECT_FALSE(parsed.has("quiet"));
}

TEST(ParseArgsTest, RejectsWhatItCannotUnderstand) {
  EXPECT_THROW(parseArgs({"--bogus"}, kSpecs), UsageError);
  EXPECT_THROW(parseArgs({"-x"}, kSpecs), UsageError);
  EXPECT_THROW(parseArgs({"--out"}, kSpecs), UsageError);
  EXPECT_THROW(parseArgs({"--quiet=yes"}, kSpecs), UsageError);
}

TEST(ParseNumbersTest, AcceptsWholeNumbersInRangeOnly) {
  EXPECT_DOUBLE_EQ(parseNumber("0.25", "X"), 0.25);
  EXPECT_DOUBLE_EQ(parseNumber("-12", "DY"), -12);
  EXPECT_THROW(parseNumber("0.5x", "X"), UsageError);
  EXPECT_THROW(parseNumber("", "X"), UsageError);
  EXPECT_THROW(parseNumber("nan", "X"), UsageError);

  EXPECT_EQ(parseInteger("65535", "key code", 0, 65535), 65535);
  EXPECT_THROW(parseInteger("65536", "key code", 0, 65535), UsageError);
  EXPECT_THROW(parseInteger("-1", "key code", 0, 65535), UsageError);
  EXPECT_THROW(parseInteger("12.5", "key code", 0, 65535), UsageError);
  try {
    parseInteger("abc", "window", 1, 256);
    FAIL();
  } catch (const UsageError& e) {
    EXPECT_NE(std::string(e.what()).find("window"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace lumora::cli
