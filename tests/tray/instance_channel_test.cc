// The running instance's socket: what a second start hands over arrives in order, a sender that
// never ends its line is cut off without the instance holding its bytes, another user's
// connection is dropped unread, and without a runtime folder the socket's folder must be this
// user's alone.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "another_user.h"
#include "instance_channel.h"
#include "qt_application.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "support/thrown.h"

namespace lumora::tray {
namespace {

using testing_support::ScopedEnvironment;
using testing_support::TempDir;
namespace fs = std::filesystem;

// Runs `client` on its own thread while Qt's loop runs the server: what it returned.
template <class Client>
auto serveWhile(Client client) {
  auto future = std::async(std::launch::async, client);
  processUntil(
      [&] { return future.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; });
  return future.get();
}

// A socket path in a private folder, and what an instance listening there would handle.
class InstanceChannelTest : public ::testing::Test {
 protected:
  bool listen() { return server_.listen(path); }

  QApplication& application_ = qtApplication();  // before the server
  TempDir dir;
  const std::string path = dir / "tray.socket";
  std::vector<std::string> handled;

 private:
  InstanceServer server_{[this](const std::string& url) { handled.push_back(url); }};
};

TEST_F(InstanceChannelTest, URLsArriveInOrderAndAStaleSocketIsTakenOver) {
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
  ASSERT_TRUE(listen());

  EXPECT_TRUE(serveWhile([&] {
    return InstanceChannel::handOver(path,
                                     {"lumora://stop", " lumora://start ", "", "lumora://quit"});
  }));
  EXPECT_EQ(handled,
            (std::vector<std::string>{"lumora://stop", "lumora://start", "lumora://quit"}));
}

TEST_F(InstanceChannelTest, AnEndlessLineOrTooManyURLsEndTheConnection) {
  ASSERT_TRUE(listen());

  EXPECT_FALSE(serveWhile([&] {
    return InstanceChannel::handOver(path, {std::string(1 << 20, 'x')});
  })) << "the instance took a megabyte without a newline";
  EXPECT_TRUE(handled.empty());

  std::vector<std::string> many(InstanceServer::kMaxUrls + 1, "lumora://start");
  serveWhile([&] { return InstanceChannel::handOver(path, many); });
  EXPECT_EQ(handled.size(), static_cast<std::size_t>(InstanceServer::kMaxUrls));
}

TEST_F(InstanceChannelTest, AConnectionOfAnotherUserIsDroppedUnread) {
  if (!canActAsAnotherUser()) GTEST_SKIP() << "only root can act as another user";
  ASSERT_TRUE(listen());
  // As where the socket's mode is not kept: the other user can reach it.
  fs::permissions(dir.path(), fs::perms::all);
  fs::permissions(path, fs::perms::all);

  EXPECT_EQ(serveWhile([&] { return sendAsAnotherUser(path, "lumora://quit"); }), "closed\n");
  processUntil([] { return true; });
  EXPECT_TRUE(handled.empty()) << handled.front();

  // This user's own start still gets through.
  EXPECT_TRUE(serveWhile([&] { return InstanceChannel::handOver(path, {"lumora://start"}); }));
  EXPECT_EQ(handled, std::vector<std::string>{"lumora://start"});
}

TEST(InstanceChannelFolderTest, WithoutARuntimeFolderTheSocketsFolderIsThisUsersAlone) {
  TempDir temporary;
  ScopedEnvironment noRuntime("XDG_RUNTIME_DIR", std::nullopt);
  ScopedEnvironment tmp("TMPDIR", temporary.path().string());
  const fs::path folder = temporary.path() / ("lumora-tray-" + std::to_string(::geteuid()));
  EXPECT_EQ(InstanceChannel::socketPath(), (folder / "lumora-tray.socket").string());
  EXPECT_EQ(testing_support::fileMode(folder), 0700u);
  EXPECT_EQ(InstanceChannel::socketPath(), (folder / "lumora-tray.socket").string()) << "again";

  // Someone else got there first, in a shared temporary folder: refused, and left as it is.
  const auto refusal = [] {
    return testing_support::messageThrownBy<InstanceChannel::RefusedError>(
        [] { InstanceChannel::socketPath(); });
  };
  fs::permissions(folder, fs::perms::owner_all | fs::perms::others_exec);
  EXPECT_NE(refusal().find("is open to other users (mode 0701)"), std::string::npos) << refusal();
  EXPECT_EQ(testing_support::fileMode(folder), 0701u);
  fs::permissions(folder, fs::perms::owner_all);
  if (canActAsAnotherUser()) {
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_NE(refusal().find("belongs to user 65534"), std::string::npos) << refusal();
  }
  fs::remove(folder);
  const fs::path elsewhere = temporary.path() / "elsewhere";
  fs::create_directory(elsewhere);
  fs::permissions(elsewhere, fs::perms::owner_all);
  fs::create_directory_symlink(elsewhere, folder);
  EXPECT_NE(refusal().find("is not a folder: remove it, or set XDG_RUNTIME_DIR"), std::string::npos)
      << refusal();

  // With a runtime folder, the socket lives there.
  ScopedEnvironment runtime("XDG_RUNTIME_DIR", elsewhere.string());
  EXPECT_EQ(InstanceChannel::socketPath(), (elsewhere / "lumora-tray.socket").string());
}

}  // namespace
}  // namespace lumora::tray
