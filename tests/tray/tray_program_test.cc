// The lumora-tray program on a private Xvfb with a real tray host (trayer): the icon docks, a
// click opens the panel, command URLs reach the running instance, the QR code on the screen
// scans to the pairing link, and nobody else's listener gets them. Each state is saved as a picture
// of the screen under the build folder (screenshots/tray-*.png).

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <chrono>
#include <sstream>
#include <thread>
#include <utility>

#include "another_user.h"
#include "support/eventually.h"
#include "support/free_port.h"
#include "support/process_table.h"
#include "support/qr_scan.h"
#include "support/spawn.h"
#include "support/temp_dir.h"
#include "support/xvfb_server.h"

namespace lumora::tray {
namespace {

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
  void startTray() {
    auto spawn = options();
    spawn.output = spawn.error = home_ / "tray.log";
    tray_ = testing_support::spawnProcess({LUMORA_TRAY_BINARY}, spawn);
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
  std::vector<std::pair<std::string, Area>> windows(std::vector<std::string> search) const {
    search.insert(search.begin(), {"xdotool", "search"});
    search.insert(search.end(), {"getwindowgeometry", "--shell", "%@"});
    std::istringstream lines(run(search).output);
    std::vector<std::pair<std::string, Area>> windows;
    for (std::string line; std::getline(lines, line);) {
      const std::string value = line.substr(line.find('=') + 1);
      if (line.starts_with("WINDOW=")) windows.emplace_back(value, Area{});
      if (windows.empty()) continue;
      Area& area = windows.back().second;
      if (line.starts_with("X=")) area.x = std::stoi(value);
      if (line.starts_with("Y=")) area.y = std::stoi(value);
      if (line.starts_with("WIDTH=")) area.width = std::stoi(value);
      if (line.starts_with("HEIGHT=")) area.height = std::stoi(value);
    }
    return windows;
  }
  std::pair<std::string, Area> window(const std::vector<std::string>& search) const {
    auto found = windows(search);
    return found.empty() ? std::pair<std::string, Area>{} : found.front();
  }
  Area trayHostArea() const { return window({"--onlyvisible", "--class", "trayer"}).second; }
  void clickIcon() const {
    run({"xdotool", "mousemove", std::to_string(icon_.x + icon_.width / 2),
         std::to_string(icon_.y + icon_.height / 2), "click", "1"});
  }
  // The panel's window while it shows; an empty id otherwise.
  std::string shownPanel() const {
    return window({"--onlyvisible", "--name", "^Lumora 에이전트$"}).first;
  }

  // Clicks the icon, once it sits in the tray host, until the panel shows (a click before the
  // freshly docked icon takes input is lost).
  bool openPanel() {
    return eventually([&] {
             for (const auto& [id, area] : windows({"--classname", "lumora-tray"})) {
               if (trayHostArea().holds(area)) icon_ = area;
             }
             return icon_.width > 0;
           }) &&
           eventually([&] {
             if (!shownPanel().empty()) return true;
             clickIcon();
             std::this_thread::sleep_for(500ms);
             return false;
           });
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

  std::string statusField(const char* key) const {
    boost::system::error_code error;
    const auto parsed =
        boost::json::parse(testing_support::contentOf(home_ / ".lumora/agent-status.json"), error);
    if (error || !parsed.is_object() || !parsed.as_object().contains(key)) return {};
    return boost::json::serialize(parsed.as_object().at(key));
  }
  bool running() const { return statusField("running") == "true"; }
  std::string log() const { return testing_support::contentOf(home_ / "tray.log"); }

  testing_support::XvfbServer xvfb_{std::to_string(kScreenWidth) + "x" +
                                    std::to_string(kScreenHeight) + "x24"};
  TempDir home_;
  std::uint16_t port_ = testing_support::freePortPair();
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
  ASSERT_TRUE(openPanel()) << "the icon never docked, or its click showed no panel\n" << log();
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
  EXPECT_EQ(listener.received(), "") << "the command reached the other user";
}

}  // namespace
}  // namespace lumora::tray
