#include "transport/tailscale_locator.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace lumora::transport {
namespace {

using namespace std::chrono_literals;
namespace locator = TailscaleLocator;

// A stand-in for the tool: a shell script that answers `ip -4` as told.
std::string fakeTool(const testing_support::TempDir& dir, const std::string& name,
                     const std::string& body) {
  std::string path = dir.make(name, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

TEST(TailscaleLocatorTest, CandidatesAreTriedInOrderUntilOneAnswers) {
  testing_support::TempDir dir;
  const std::vector<std::string> tools = {
      dir / "missing",
      fakeTool(dir, "failing", "echo 100.64.0.2; exit 1"),
      fakeTool(dir, "ipv6", "echo fd7a:115c::1"),
      fakeTool(dir, "hanging", "sleep 100"),
      fakeTool(dir, "answering", R"(printf '\n\n  100.64.0.7\t\n100.64.0.8\n')"),
  };
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(locator::currentIPv4From(tools, 300ms), "100.64.0.7");
  // The hanging tool was given up on rather than waited for.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);

  EXPECT_FALSE(locator::currentIPv4From({tools[1], tools[2]}, 300ms));
}

}  // namespace
}  // namespace lumora::transport
