#include "core/agent_log.h"

#include <gtest/gtest.h>

#include <regex>

namespace lumora::core {
namespace {

TEST(AgentLogTest, ConsoleLineHasTimeLevelCategoryAndMessage) {
  std::tm at{};
  at.tm_hour = 9;
  at.tm_min = 5;
  at.tm_sec = 3;
  EXPECT_EQ(AgentLog::consoleLine(at, "INFO", "router", "ready"),
            "09:05:03 [INFO] router: ready\n");
  at.tm_hour = 23;
  at.tm_min = 59;
  at.tm_sec = 60;  // a leap second is printed as the clock says
  EXPECT_EQ(AgentLog::consoleLine(at, "ERROR", "media", "x: y"), "23:59:60 [ERROR] media: x: y\n");
}

TEST(AgentLogTest, InfoGoesToStdoutErrorToStderrDebugNowhere) {
  AgentLog log("transport");

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  log.info("listening on 127.0.0.1:47800");
  log.debug("a debug detail");
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(
      out, std::regex(R"(\d\d:\d\d:\d\d \[INFO\] transport: listening on 127\.0\.0\.1:47800\n)")))
      << out;
  EXPECT_EQ(err, "");

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  log.error("bind failed");
  log.debug("another debug detail");
  out = testing::internal::GetCapturedStdout();
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "");
  EXPECT_TRUE(
      std::regex_match(err, std::regex(R"(\d\d:\d\d:\d\d \[ERROR\] transport: bind failed\n)")))
      << err;

  AgentLog quiet("runtime", /*mirrorToConsole=*/false);
  testing::internal::CaptureStdout();
  quiet.info("not on the console");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
}  // namespace lumora::core
