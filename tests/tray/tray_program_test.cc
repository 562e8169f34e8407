// The lumora-tray program on a private Xvfb with a real tray host (trayer): the icon docks, a
// click opens the panel, command URLs reach the running instance, the QR code on the screen
// scans to the pairing link, and a stored sign-in puts this computer in the account's device
// list. Each state is saved as a picture of the screen under the build folder
// (screenshots/tray-*.png).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json.hpp>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "app/account_adapters.h"
#include "asio/http_client.h"
#include "platform/linux/secret_store.h"
#include "protocol/pairing_secret.h"
#include "sdk/account/auth_client.h"
#include "sdk/account/device_registry_client.h"
#include "support/account_service_process.h"
#include "support/eventually.h"
#include "support/free_port.h"
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
    std::filesystem::create_directories(runtimeDir());
    std::filesystem::permissions(runtimeDir(), std::filesystem::perms::owner_all);
    trayHost_ = testing_support::spawnProcess({"trayer", "--edge", "top", "--align", "right",
                                               "--widthtype", "request", "--height", "24"});
  }
  ~TrayProgramTest() override {
    for (pid_t pid : {tray_, trayHost_}) {
      if (pid > 0 && ::kill(pid, SIGTERM) == 0) testing_support::waitForExit(pid);
    }
  }

  std::string runtimeDir() const { return home_ / "run"; }

  std::vector<std::string> environment() const {
    std::vector<std::string> entries = {
        "HOME=" + home_.path().string(),
        "DISPLAY=" + xvfb_.display(),
        "XDG_RUNTIME_DIR=" + runtimeDir(),
        "XDG_CONFIG_HOME=" + (home_ / "config"),
        "PATH=" + std::string(std::getenv("PATH")),
        "LUMORA_CONTROL_PORT=" + std::to_string(port_),
        // A UTF-8 locale, as on a desktop: xdotool reads the panel's Korean title through it.
        "LANG=C.UTF-8",
    };
    entries.insert(entries.end(), extraEnvironment_.begin(), extraEnvironment_.end());
    return entries;
  }

  // Starts the first instance (it handles `urls` itself), once the tray host shows.
  void startTray(const std::vector<std::string>& urls = {}) {
    ASSERT_TRUE(eventually([&] {
      return !windows({"--onlyvisible", "--class", "trayer"}).empty();
    })) << "the tray host never showed";
    std::vector<std::string> argv = {LUMORA_TRAY_BINARY};
    argv.insert(argv.end(), urls.begin(), urls.end());
    testing_support::SpawnOptions options;
    options.environment = environment();
    options.output = options.error = home_ / "tray.log";
    tray_ = testing_support::spawnProcess(argv, options);
  }

  // A second start, which hands `urls` to the first and ends.
  int handOver(const std::vector<std::string>& urls) {
    std::vector<std::string> argv = {LUMORA_TRAY_BINARY};
    argv.insert(argv.end(), urls.begin(), urls.end());
    testing_support::SpawnOptions options;
    options.environment = environment();
    return runProgram(argv, options).exitCode;
  }

  // Waits for the first instance to end: its exit status, or -1 if it is still running.
  int trayExit() {
    int status = -1;
    const bool ended = eventually([&] { return ::waitpid(tray_, &status, WNOHANG) == tray_; });
    if (!ended) return -1;
    tray_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string x(const std::vector<std::string>& argv) {
    testing_support::SpawnOptions options;
    options.environment = environment();
    return runProgram(argv, options).output;
  }
  std::vector<std::string> windows(const std::vector<std::string>& search) {
    std::vector<std::string> argv = {"xdotool", "search"};
    argv.insert(argv.end(), search.begin(), search.end());
    std::istringstream lines(x(argv));
    return {std::istream_iterator<std::string>(lines), {}};
  }
  struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
  };
  Geometry geometry(const std::string& window) {
    // "WINDOW=…", "X=…", "Y=…", "WIDTH=…", "HEIGHT=…", one per line.
    std::istringstream lines(x({"xdotool", "getwindowgeometry", "--shell", window}));
    Geometry g;
    for (std::string line; std::getline(lines, line);) {
      const auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      const int value = std::atoi(line.c_str() + eq + 1);
      const std::string key = line.substr(0, eq);
      if (key == "X") g.x = value;
      if (key == "Y") g.y = value;
      if (key == "WIDTH") g.width = value;
      if (key == "HEIGHT") g.height = value;
    }
    return g;
  }
  void click(int atX, int atY) {
    x({"xdotool", "mousemove", std::to_string(atX), std::to_string(atY), "click", "1"});
  }

  // The tray's icon once it sits inside the tray host's window.
  std::optional<std::string> dockedIcon() {
    std::optional<std::string> docked;
    eventually([&] {
      for (const auto& window : windows({"--classname", "lumora-tray"})) {
        if (insideTrayHost(window)) docked = window;
      }
      return docked.has_value();
    });
    return docked;
  }
  bool insideTrayHost(const std::string& window) {
    std::string current = window;
    for (int depth = 0; depth < 8; ++depth) {
      const std::string tree = x({"xwininfo", "-tree", "-id", current});
      const auto at = tree.find("Parent window id: ");
      if (at == std::string::npos) return false;
      std::istringstream rest(tree.substr(at + 18));
      std::string parent;
      rest >> parent;
      if (tree.find("(the root window)", at) < tree.find('\n', at)) return false;
      if (x({"xprop", "-id", parent, "WM_CLASS"}).find("trayer") != std::string::npos) return true;
      current = parent;
    }
    return false;
  }

  // Opens the panel from the icon; its window. A click that comes before the freshly docked
  // icon takes input is lost, so it clicks again until the panel shows.
  std::optional<std::string> openPanel() {
    auto icon = dockedIcon();
    if (!icon) return std::nullopt;
    const Geometry g = geometry(*icon);
    std::optional<std::string> panel;
    eventually([&] {
      auto shown = windows({"--onlyvisible", "--name", "Lumora 에이전트"});
      if (!shown.empty()) panel = shown.front();
      if (!panel) {
        click(g.x + g.width / 2, g.y + g.height / 2);
        std::this_thread::sleep_for(500ms);
      }
      return panel.has_value();
    });
    return panel;
  }

  // Saves the screen as screenshots/tray-<name>.png; returns it in gray, one byte a pixel.
  std::vector<unsigned char> screenshot(const std::string& name) {
    std::this_thread::sleep_for(300ms);  // the panel's last repaint
    std::filesystem::create_directories(LUMORA_SCREENSHOT_DIR);
    const std::string png = std::string(LUMORA_SCREENSHOT_DIR) + "/tray-" + name + ".png";
    const std::string gray = home_ / "screen.gray";
    const auto run = runProgram(
        {"ffmpeg",      "-loglevel",
         "error",       "-y",
         "-f",          "x11grab",
         "-video_size", std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight),
         "-i",          xvfb_.display(),
         "-frames:v",   "1",
         png,           "-frames:v",
         "1",           "-pix_fmt",
         "gray",        "-f",
         "rawvideo",    gray});
    EXPECT_EQ(run.exitCode, 0) << "ffmpeg could not grab the screen";
    const std::string bytes = testing_support::contentOf(gray);
    return {bytes.begin(), bytes.end()};
  }

  boost::json::object status() const {
    const std::string text = testing_support::contentOf(home_ / ".lumora/agent-status.json");
    boost::system::error_code error;
    auto parsed = boost::json::parse(text, error);
    return error || !parsed.is_object() ? boost::json::object{} : parsed.as_object();
  }
  bool running() const {
    const auto now = status();
    return now.contains("running") && now.at("running") == true;
  }
  std::string log() const { return testing_support::contentOf(home_ / "tray.log"); }

  testing_support::XvfbServer xvfb_{std::to_string(kScreenWidth) + "x" +
                                    std::to_string(kScreenHeight) + "x24"};
  TempDir home_;
  std::uint16_t port_ = testing_support::freePortPair();
  std::vector<std::string> extraEnvironment_;
  pid_t trayHost_ = -1;
  pid_t tray_ = -1;
};

TEST_F(TrayProgramTest, TheDockedIconOpensThePanelAndCommandURLsReachTheRunningInstance) {
  startTray();
  ASSERT_TRUE(openPanel()) << "the icon never docked in the tray host, or its click showed no "
                              "panel\n"
                           << log();
  EXPECT_FALSE(running());
  screenshot("stopped");

  ASSERT_EQ(handOver({"lumora://start"}), 0);
  ASSERT_TRUE(eventually([&] { return running(); })) << log();
  const std::string link(status().at("pairingLink").as_string());
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

  // Several URLs in one hand-over run in order; quit writes the stopped record and ends it.
  ASSERT_EQ(handOver({"lumora://start"}), 0);
  ASSERT_TRUE(eventually([&] { return running(); })) << log();
  ASSERT_EQ(handOver({"lumora://stop", "lumora://start", "lumora://quit"}), 0);
  EXPECT_EQ(trayExit(), 0) << log();
  EXPECT_FALSE(running());

  // Nothing listens any more: the next start is the first instance again.
  EXPECT_EQ(handOver({"--bogus"}), 2);
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

  startTray({"lumora://start"});
  ASSERT_TRUE(eventually([&] { return running(); })) << log();
  sdk::DeviceRegistryClient registry(service.url(), tokens.accessToken, session);
  std::vector<sdk::DeviceSummary> devices;
  ASSERT_TRUE(eventually([&] {
    devices = testing_support::runAwaitable(registry.listDevices());
    return !devices.empty();
  })) << log();
  EXPECT_EQ(devices[0].platform, "linux");
  const auto secret =
      protocol::PairingSecret::fromCode(std::string(status().at("pairingCode").as_string()));
  ASSERT_TRUE(secret);
  EXPECT_EQ(devices[0].pairingFingerprint, secret->fingerprint());

  const auto panel = openPanel();
  ASSERT_TRUE(panel) << log();
  screenshot("signed-in");

  // "종료", bottom right of the panel, ends the program without touching the status file.
  const auto before = testing_support::contentOf(home_ / ".lumora/agent-status.json");
  const Geometry g = geometry(*panel);
  click(g.x + g.width - 16 - 20, g.y + g.height - 16 - 10);
  EXPECT_EQ(trayExit(), 0) << log();
  EXPECT_EQ(testing_support::contentOf(home_ / ".lumora/agent-status.json"), before);
  EXPECT_TRUE(running());
}

}  // namespace
}  // namespace lumora::tray
