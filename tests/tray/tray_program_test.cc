// The lumora-tray program on a private Xvfb with a real tray host (trayer): the icon docks, a
// click opens the panel, command URLs reach the running instance, the QR code on the screen
// scans to the pairing link, and a stored sign-in puts this computer in the account's device
// list. Each state is saved as a picture of the screen under the build folder
// (screenshots/tray-*.png).

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>
#include <utility>

#include "another_user.h"
#include "app/account_adapters.h"
#include "net/http_client.h"
#include "platform/linux/secret_store.h"
#include "sdk/account/auth_client.h"
#include "sdk/account/device_registry_client.h"
#include "support/account_service_process.h"
#include "support/eventually.h"
#include "support/free_port.h"
#include "support/process_table.h"
#include "support/qr_scan.h"
#include "support/run_awaitable.h"
#include "support/spawn.h"
#include "support/temp_dir.h"
#include "support/xvfb_server.h"

namespace lumora::tray {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing_support::eventually;
using testing_support::runProgram;
using testing_support::TempDir;

constexpr int kScreenWidth = 1280, kScreenHeight = 800;

class TrayProgramTest : public ::testing::Test {
 protected:
  TrayProgramTest() {
    std::filesystem::create_directories(home_ / "run");
    std::filesystem::permissions(home_ / "run", std::filesystem::perms::owner_all);
  }
  ~TrayProgramTest() override {
    testing_support::endProcess(tray_);
    testing_support::endProcess(trayHost_);
  }

  testing_support::SpawnOptions options() const {
    testing_support::SpawnOptions options;
    options.environment = {
        "HOME=" + home_.path().string(), "DISPLAY=" + (withDisplay_ ? xvfb_.display() : ""),
        "XDG_RUNTIME_DIR=" + (home_ / "run"), "XDG_CONFIG_HOME=" + (home_ / "config"),
        "PATH=" + std::string(std::getenv("PATH")), "LUMORA_CONTROL_PORT=" + std::to_string(port_),
        // As on a desktop: xdotool reads the panel's Korean title through it.
        "LANG=C.UTF-8"};
    options.environment->insert(options.environment->end(), extraEnvironment_.begin(),
                                extraEnvironment_.end());
    return options;
  }
  testing_support::ProgramRun run(const std::vector<std::string>& argv) const {
    return runProgram(argv, options());
  }

  void startTrayHost() {
    trayHost_ = testing_support::spawnProcess({"trayer", "--edge", "top", "--align", "right",
                                               "--widthtype", "request", "--height", "24"});
    ASSERT_TRUE(eventually([&] { return trayHostArea().width > 0; })) << "no tray host";
  }
  // Starts the first instance (it handles `urls` itself).
  void startTray(std::vector<std::string> urls = {}) {
    auto spawn = options();
    spawn.output = spawn.error = home_ / "tray.log";
    urls.insert(urls.begin(), LUMORA_TRAY_BINARY);
    tray_ = testing_support::spawnProcess(urls, spawn);
  }
  // A second start, which hands `urls` to the first and ends: its exit status.
  int handOver(std::vector<std::string> urls) const {
    urls.insert(urls.begin(), LUMORA_TRAY_BINARY);
    return run(urls).exitCode;
  }
  // Waits for the first instance to end: its exit status, or -1 while it runs.
  int trayExit() {
    if (tray_ <= 0 || !eventually([&] { return testing_support::processEnded(tray_); })) return -1;
    return testing_support::waitForExit(std::exchange(tray_, -1));
  }

  struct Area {
    int x = 0, y = 0, width = 0, height = 0;
    bool holds(const Area& inner) const {
      return inner.width > 0 && inner.x >= x && inner.y >= y &&
             inner.x + inner.width <= x + width && inner.y + inner.height <= y + height;
    }
  };
  // The windows `search` finds (xdotool's words), and where they are on the screen.
  std::vector<std::pair<std::string, Area>> windows(const std::vector<std::string>& search) const {
    std::vector<std::string> argv = {"xdotool", "search"};
    argv.insert(argv.end(), search.begin(), search.end());
    std::istringstream found(run(argv).output);
    std::vector<std::pair<std::string, Area>> windows;
    for (std::string id; found >> id;) {
      std::istringstream lines(run({"xdotool", "getwindowgeometry", "--shell", id}).output);
      Area area;
      for (std::string line; std::getline(lines, line);) {
        const int value = std::atoi(line.c_str() + line.find('=') + 1);
        if (line.starts_with("X=")) area.x = value;
        if (line.starts_with("Y=")) area.y = value;
        if (line.starts_with("WIDTH=")) area.width = value;
        if (line.starts_with("HEIGHT=")) area.height = value;
      }
      windows.emplace_back(id, area);
    }
    return windows;
  }
  std::pair<std::string, Area> window(const std::vector<std::string>& search) const {
    auto found = windows(search);
    return found.empty() ? std::pair<std::string, Area>{} : found.front();
  }
  Area trayHostArea() const { return window({"--onlyvisible", "--class", "trayer"}).second; }
  void click(int atX, int atY) const {
    run({"xdotool", "mousemove", std::to_string(atX), std::to_string(atY), "click", "1"});
  }

  void clickIcon() const { click(icon_.x + icon_.width / 2, icon_.y + icon_.height / 2); }
  // The panel's window while it shows; an empty id otherwise.
  std::pair<std::string, Area> panelWindow() const {
    return window({"--onlyvisible", "--name", "^Lumora 에이전트$"});
  }
  std::string shownPanel() const { return panelWindow().first; }

  // Clicks the icon, once it sits in the tray host, until the panel shows (a click before the
  // freshly docked icon takes input is lost): where the panel is.
  std::optional<Area> openPanel() {
    if (!eventually([&] {
          for (const auto& [id, area] : windows({"--classname", "lumora-tray"})) {
            if (trayHostArea().holds(area)) icon_ = area;
          }
          return icon_.width > 0;
        })) {
      return std::nullopt;
    }
    if (!eventually([&] {
          if (!shownPanel().empty()) return true;
          clickIcon();
          std::this_thread::sleep_for(500ms);
          return false;
        })) {
      return std::nullopt;
    }
    return panelWindow().second;
  }

  // Saves the screen as screenshots/tray-<name>.png; returns it in gray, one byte a pixel.
  std::vector<unsigned char> screenshot(const std::string& name) const {
    std::this_thread::sleep_for(300ms);  // the panel's last repaint
    std::filesystem::create_directories(LUMORA_SCREENSHOT_DIR);
    const std::string gray = home_ / "screen.gray";
    const std::string size = std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight);
    const std::string png = LUMORA_SCREENSHOT_DIR "/tray-" + name + ".png";
    const std::vector<std::string> grab = {
        "ffmpeg", "-loglevel", "error",         "-y",        "-f",       "x11grab", "-video_size",
        size,     "-i",        xvfb_.display(), "-frames:v", "1",        png,       "-frames:v",
        "1",      "-pix_fmt",  "gray",          "-f",        "rawvideo", gray};
    EXPECT_EQ(runProgram(grab).exitCode, 0);
    const std::string bytes = testing_support::contentOf(gray);
    return {bytes.begin(), bytes.end()};
  }

  std::string statusFile() const {
    return testing_support::contentOf(home_ / ".lumora/agent-status.json");
  }
  std::string statusField(const char* key) const {
    boost::system::error_code error;
    const auto parsed = boost::json::parse(statusFile(), error);
    if (error || !parsed.is_object() || !parsed.as_object().contains(key)) return {};
    return boost::json::serialize(parsed.as_object().at(key));
  }
  bool running() const { return statusField("running") == "true"; }
  std::string log() const { return testing_support::contentOf(home_ / "tray.log"); }

  testing_support::XvfbServer xvfb_{std::to_string(kScreenWidth) + "x" +
                                    std::to_string(kScreenHeight) + "x24"};
  TempDir home_;
  std::uint16_t port_ = testing_support::freePortPair();
  std::vector<std::string> extraEnvironment_;
  bool withDisplay_ = true;
  Area icon_;
  pid_t trayHost_ = -1;
  pid_t tray_ = -1;
};

TEST_F(TrayProgramTest, TheDockedIconOpensThePanelAndCommandURLsReachTheRunningInstance) {
  // Without a tray the panel is a window; a tray that comes up later takes its place.
  startTray();
  ASSERT_TRUE(eventually([&] { return !shownPanel().empty(); })) << log();
  startTrayHost();
  ASSERT_TRUE(eventually([&] { return shownPanel().empty(); })) << log();
  const auto panel = openPanel();
  ASSERT_TRUE(panel) << "the icon never docked, or its click showed no panel\n" << log();
  // A second click hides it; starting the program again brings it back.
  clickIcon();
  ASSERT_TRUE(eventually([&] { return shownPanel().empty(); }));
  ASSERT_EQ(handOver({}), 0);
  ASSERT_TRUE(eventually([&] { return !shownPanel().empty(); }));
  EXPECT_FALSE(running());
  screenshot("stopped");

  ASSERT_EQ(handOver({"lumora://start"}), 0);
  ASSERT_TRUE(eventually([&] { return running(); })) << log();
  const std::string link = boost::json::parse(statusField("pairingLink")).as_string().c_str();
  const auto screen = screenshot("serving");
  EXPECT_EQ(testing_support::scanQRCode(screen, kScreenWidth, kScreenHeight), link)
      << "the panel's QR code does not scan to the pairing link";

  // A start that cannot bind its port leaves the agent stopped.
  ASSERT_EQ(handOver({"lumora://stop"}), 0);
  ASSERT_TRUE(eventually([&] { return !running(); }));
  {
    asio::io_context io;
    asio::ip::tcp::acceptor taken(io, {asio::ip::address_v4::loopback(), port_});
    ASSERT_EQ(handOver({"lumora://start"}), 0);
    std::this_thread::sleep_for(1s);
    screenshot("failed");
    EXPECT_FALSE(running());
  }

  // Quit ends the program. (URLs of one hand-over arrive in order: instance_channel_test; they
  // run in order and quit writes the stopped record: agent_app_coordinator_test.)
  ASSERT_EQ(handOver({"lumora://quit"}), 0);
  EXPECT_EQ(trayExit(), 0) << log();

  // With no instance left to take a command and no display to show one on, it says so.
  withDisplay_ = false;
  EXPECT_EQ(handOver({"lumora://start"}), 1);
}

TEST_F(TrayProgramTest, AStartNeverHandsItsCommandsToAnotherUsersListener) {
  if (!canActAsAnotherUser()) GTEST_SKIP() << "only root can act as another user";
  // A runtime folder another user can write in, and that user's program at the socket's path.
  std::filesystem::permissions(
      home_.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
  std::filesystem::permissions(home_ / "run", std::filesystem::perms::all);
  ListenerOfAnotherUser listener(home_ / "run/lumora-tray.socket");

  auto spawn = options();
  spawn.error = home_ / "second.err";
  EXPECT_EQ(runProgram({LUMORA_TRAY_BINARY, "lumora://quit"}, spawn).exitCode, 1);
  const std::string said = testing_support::contentOf(home_ / "second.err");
  EXPECT_TRUE(said.starts_with("lumora-tray: the socket " + (home_ / "run/lumora-tray.socket") +
                               " is held by user 65534"))
      << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_EQ(listener.received(), "") << "the command reached the other user";
}

TEST_F(TrayProgramTest, AStoredSignInRegistersThisComputerAndTheQuitButtonLeavesTheRecord) {
  testing_support::AccountServiceProcess service({"--listen", "127.0.0.1:0", "--dev"});
  auto session = std::make_shared<net::HttpClient>("test");
  const auto tokens = testing_support::runAwaitable(
      sdk::AuthClient(service.url(), session).login("dev", "ada@example.com"));
  app::SecretTokenStore(
      platform::linux_os::makeFileSecretStore(home_.path() / "config/lumora/tokens.json"))
      .save(tokens);
  extraEnvironment_ = {"LUMORA_AUTH_BASE_URL=" + service.url(),
                       "LUMORA_API_BASE_URL=" + service.url()};

  startTrayHost();
  startTray({"lumora://start"});
  ASSERT_TRUE(eventually([&] { return running(); })) << log();
  sdk::DeviceRegistryClient registry(service.url(), tokens.accessToken, session);
  std::vector<sdk::DeviceSummary> devices;
  // What it registers (name, platform, the pairing's fingerprint) is the account adapters' and the
  // coordinator's to check: here, that a stored sign-in is read and registers on serving.
  ASSERT_TRUE(eventually([&] {
    devices = testing_support::runAwaitable(registry.listDevices());
    return !devices.empty();
  })) << log();

  const auto panel = openPanel();
  ASSERT_TRUE(panel) << log();
  screenshot("signed-in");

  // "종료", bottom right of the panel, ends the program without touching the status file.
  const std::string before = statusFile();
  const Area area = *panel;
  click(area.x + area.width - 16 - 20, area.y + area.height - 16 - 10);
  EXPECT_EQ(trayExit(), 0) << log();
  EXPECT_EQ(statusFile(), before);
  EXPECT_TRUE(running());
}

}  // namespace
}  // namespace lumora::tray
