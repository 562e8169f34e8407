// The running instance's socket: what a second start hands over arrives in order, and a sender
// that never ends its line is cut off without the instance holding its bytes.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <future>

#include "instance_channel.h"
#include "qt_application.h"
#include "support/temp_dir.h"

namespace lumora::tray {
namespace {

using testing_support::TempDir;

// Waits for `future` while Qt's loop runs the server.
template <class T>
T serveUntil(std::future<T>& future) {
  processUntil(
      [&] { return future.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; });
  return future.get();
}

TEST(InstanceChannelTest, URLsArriveInOrderAndAStaleSocketIsTakenOver) {
  qtApplication();
  TempDir dir;
  const std::string path = dir / "tray.socket";
  EXPECT_FALSE(InstanceChannel::handOver(path, {"lumora://start"})) << "nobody listens yet";

  // A socket file left behind by an instance that died.
  {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  std::vector<std::string> handled;
  InstanceServer server([&](const std::string& url) { handled.push_back(url); });
  ASSERT_TRUE(server.listen(path));

  auto sent = std::async(std::launch::async, [&] {
    return InstanceChannel::handOver(path,
                                     {"lumora://stop", " lumora://start ", "", "lumora://quit"});
  });
  EXPECT_TRUE(serveUntil(sent));
  EXPECT_EQ(handled,
            (std::vector<std::string>{"lumora://stop", "lumora://start", "lumora://quit"}));
}

TEST(InstanceChannelTest, AnEndlessLineOrTooManyURLsEndTheConnection) {
  qtApplication();
  TempDir dir;
  const std::string path = dir / "tray.socket";
  std::vector<std::string> handled;
  InstanceServer server([&](const std::string& url) { handled.push_back(url); });
  ASSERT_TRUE(server.listen(path));

  auto endless = std::async(std::launch::async, [&] {
    return InstanceChannel::handOver(path, {std::string(1 << 20, 'x')});
  });
  EXPECT_FALSE(serveUntil(endless)) << "the instance took a megabyte without a newline";
  EXPECT_TRUE(handled.empty());

  std::vector<std::string> many(InstanceServer::kMaxUrls + 1, "lumora://start");
  auto flood =
      std::async(std::launch::async, [&] { return InstanceChannel::handOver(path, many); });
  serveUntil(flood);
  EXPECT_EQ(handled.size(), static_cast<std::size_t>(InstanceServer::kMaxUrls));
}

}  // namespace
}  // namespace lumora::tray
