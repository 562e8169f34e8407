#include "transport/tailscale_locator.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include <fstream>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include <thread>
#include "support/temp_dir.h"
#include "transport/connection_manager.h"

namespace lumora::transport {
namespace {

using namespace std::chrono_literals;
namespace locator = TailscaleLocator;

// A stand-in for the tool: a shell script that answers `ip -4` as told.
std::string fakeTool(const testing_support::TempDir& dir, const std::string& name,
                     const std::string& body, bool executable = true) {
  std::string path = dir.make(name, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), executable ? 0755 : 0644);
  return path;
}

TEST(TailscaleLocatorTest, Ipv4Validation) {
  for (auto valid : {"100.64.0.1", "0.0.0.0", "010.001.000.255"})
    EXPECT_TRUE(locator::isValidIPv4(valid)) << valid;
  for (auto invalid : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.4444", "", "a.b.c.d",
                       "1.2.3.4 ", "-1.2.3.4", "fd7a::1"}) {
    EXPECT_FALSE(locator::isValidIPv4(invalid)) << invalid;
  }
}

TEST(TailscaleLocatorTest, CandidatesAreTriedInOrderUntilOneAnswers) {
  testing_support::TempDir dir;
  const std::vector<std::string> tools = {
      dir / "missing",
      fakeTool(dir, "not-executable", "echo 100.64.0.1", false),
      fakeTool(dir, "failing", "echo 100.64.0.2; exit 1"),
      fakeTool(dir, "ipv6", "echo fd7a:115c::1"),
      fakeTool(dir, "hanging", "sleep 100"),
      fakeTool(dir, "answering", R"(printf '\n\n  100.64.0.7\t\n100.64.0.8\n')"),
  };
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(locator::currentIPv4From(tools, 300ms), "100.64.0.7");
  // The hanging tool was given up on rather than waited for.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);

  EXPECT_FALSE(locator::currentIPv4From({tools[2], tools[3]}, 300ms));
}

TEST(ConnectionManagerTest, WithoutATailnetAddressItBindsLoopbackOnly) {
  boost::asio::io_context io;
  boost::asio::thread_pool pool(1);
  ConnectionContext::Dependencies dependencies;
  auto server = std::make_shared<ControlServer>(io.get_executor(), dependencies);
  ConnectionManager manager(server, nullptr, ConnectionMode::tailscale, pool.get_executor(),
                            [] { return std::nullopt; });

  auto work = boost::asio::make_work_guard(io);
  std::thread thread([&] { io.run(); });
  ConnectionInfo info =
      boost::asio::co_spawn(io, manager.start(0, 0), boost::asio::use_future).get();
  EXPECT_EQ(info.advertiseAddress, "127.0.0.1");
  EXPECT_NE(info.port, 0);
  EXPECT_FALSE(info.mediaPort.has_value());
  boost::asio::post(io, boost::asio::use_future([&] { manager.stop(); })).get();
  EXPECT_EQ(server->boundPort(), 0);
  work.reset();
  thread.join();
  pool.join();
}

}  // namespace
}  // namespace lumora::transport
