#include "command_line/cli_args.h"

#include <gtest/gtest.h>

#include "file_transfer.h"
#include "protocol/limits.h"
#include "support/thrown.h"

namespace lumora::cli {
namespace {

using namespace command_line;

const std::vector<OptionSpec> kSpecs = {{"out", "FILE", "where to write"},
                                        {"quiet", "", "say less"},
                                        {"shell", "SHELL", "which shell"},
                                        {"help,h", "", "show this help"}};

TEST(ParseArgsTest, SplitsWordsValuesAndFlags) {
  ParsedArgs parsed = parseArgs({"a", "--out", "x.mp4", "b", "--quiet", "--shell=/bin/sh"}, kSpecs);
  EXPECT_EQ(parsed.positionals, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(parsed.value("out"), "x.mp4");
  EXPECT_EQ(parsed.value("shell"), "/bin/sh");
  EXPECT_EQ(parsed.value("quiet"), "");  // a flag: given, with no value
  EXPECT_FALSE(parsed.has("missing"));
  EXPECT_TRUE(parseArgs({"-h"}, kSpecs).has("help"));
}

TEST(ParseArgsTest, NegativeNumbersAndDoubleDashAreWords) {
  ParsedArgs parsed = parseArgs({"-3", "-0.5", "-.5", "-", "--", "--out", "-"}, kSpecs);
  EXPECT_EQ(parsed.positionals, (std::vector<std::string>{"-3", "-0.5", "-.5", "-", "--out", "-"}));
  EXPECT_FALSE(parsed.has("out"));
  // A negative number is also an option's value.
  EXPECT_EQ(parseArgs({"--out", "-7"}, kSpecs).value("out"), "-7");
}

TEST(ParseArgsTest, StopAtFirstWordLeavesTheRemoteCommandAlone) {
  ParsedArgs parsed =
      parseArgs({"--shell", "/bin/bash", "ls", "--out", "-la", "--quiet"}, kSpecs, true);
  EXPECT_EQ(parsed.value("shell"), "/bin/bash");
  EXPECT_EQ(parsed.positionals, (std::vector<std::string>{"ls", "--out", "-la", "--quiet"}));
  EXPECT_FALSE(parsed.has("quiet"));
  EXPECT_FALSE(parsed.has("out"));

  // "--shell=…" carries its value itself, so the next word is the first one.
  parsed = parseArgs({"--shell=/bin/sh", "-5", "--quiet"}, kSpecs, true);
  EXPECT_EQ(parsed.positionals, (std::vector<std::string>{"-5", "--quiet"}));
}

TEST(ParseArgsTest, RejectsWhatItCannotUnderstandInOneLineNamingTheOption) {
  // An unknown option, and the prefix of a known one: no guessing.
  const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes = {
      {{"--bogus"}, "--bogus"}, {{"--ou", "x"}, "--ou"}};
  for (const auto& [args, named] : mistakes) {
    const std::string message =
        testing_support::messageThrownBy<UsageError>([&] { parseArgs(args, kSpecs); });
    EXPECT_NE(message.find(named), std::string::npos) << args.front() << ": " << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  }
}

// Which option a bad number belongs to is named in the programs' own errors (cli_e2e_test).
TEST(ParseArgsTest, NumericOptionsTakeOnlyNumbersInRange) {
  const std::vector<OptionSpec> options = {{"runs", "N", ""}, {"seconds", "S", ""}};
  const ParsedArgs good = parseArgs({"--runs", "7", "--seconds", "0.25"}, options);
  EXPECT_EQ(good.integer("runs", 1, 10), 7);
  EXPECT_EQ(good.integer("missing", 0, 1), std::nullopt);
  EXPECT_DOUBLE_EQ(*good.seconds("seconds"), 0.25);
  for (const char* seconds : {"0", "-1", "inf", "nan", "1e10", "2s"}) {
    EXPECT_THROW(parseArgs({"--seconds", seconds}, options).seconds("seconds"), UsageError)
        << seconds;
  }
}

TEST(ParseNumbersTest, AcceptsWholeNumbersInRangeOnly) {
  EXPECT_DOUBLE_EQ(parseNumber("0.25", "X"), 0.25);
  EXPECT_DOUBLE_EQ(parseNumber("-12", "DY"), -12);
  for (const char* wrong : {"0.5x", "", "nan"}) {
    EXPECT_THROW(parseNumber(wrong, "X"), UsageError) << wrong;
  }

  EXPECT_EQ(parseInteger("65535", "key code", 0, 65535), 65535);
  for (const char* wrong : {"65536", "-1", "12.5", "99999999999999999999"}) {
    EXPECT_THROW(parseInteger(wrong, "key code", 0, 65535), UsageError) << wrong;
  }
}

TEST(TransferOptionsTest, ChunksAreCutToWhatTheAgentServesAtOnce) {
  const std::vector<OptionSpec> known = {{"chunk-kib", "N", ""}, {"window", "N", ""}};
  auto options = [&](std::vector<std::string> args) {
    return transferOptions(parseArgs(args, known));
  };
  EXPECT_EQ(options({"--chunk-kib", "64", "--window", "3"}).chunkSize, 64 << 10);
  EXPECT_EQ(options({"--window", "3"}).window, 3u);
  for (const char* beyond : {"16384", "9223372036854775807"}) {
    EXPECT_EQ(options({"--chunk-kib", beyond}).chunkSize, protocol::kMaxFileChunkLength) << beyond;
  }
  const std::vector<std::vector<std::string>> wrong = {{"--chunk-kib", "0"}, {"--window", "0"}};
  for (const auto& args : wrong) {
    const std::string message =
        testing_support::messageThrownBy<UsageError>([&] { options(args); });
    EXPECT_NE(message.find(args[0]), std::string::npos) << args[1] << ": " << message;
  }
}

}  // namespace
}  // namespace lumora::cli
