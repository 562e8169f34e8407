// The web client end to end, as a phone's browser uses it: the real account service (--dev)
// serves the page at /app/ and runs the relay, the real agent on a private Xvfb serves through
// that relay, and headless Chromium in a Pixel 7 context signs in, pairs, watches the screen
// and drives the computer. The computer's side is checked where it lands: the X pointer, the
// buttons and keys an X window of the test receives, the pixels the canvas shows against what
// the X screen shows.

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "account/account_client.h"
#include "protocol/pairing_secret.h"
#include "protocol/room_key.h"
#include "support/account_service_process.h"
#include "support/agent_process.h"
#include "support/browser_phone.h"
#include "support/eventually.h"
#include "support/qr_scan.h"
#include "support/spawn.h"
#include "support/test_x_client.h"
#include "support/xvfb_server.h"
#include "web/qr_camera.h"

namespace lumora {
namespace {

using namespace std::chrono_literals;
using testing_support::BrowserPhone;
using testing_support::eventually;

constexpr int kScreenWidth = 640;
constexpr int kScreenHeight = 480;
constexpr const char* kEmail = "ada@example.com";
// Top left, top right, bottom left, bottom right: far apart in every channel, so that an H.264
// picture of them (chroma at half resolution) still tells them apart.
constexpr std::uint32_t kQuadrants[4] = {0xd02020, 0x20c040, 0x2040e0, 0xf0e020};
const BrowserPhone::Path kQuadrantCentres = {
    {0.25, 0.25}, {0.75, 0.25}, {0.25, 0.75}, {0.75, 0.75}};
// How far a colour of the canvas may be from the X screen's after H.264 (per channel).
constexpr int kColourTolerance = 48;

std::string testName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

bool near(const BrowserPhone::Colour& seen, std::uint32_t rgb) {
  return std::abs(seen.r - static_cast<int>(rgb >> 16 & 0xff)) <= kColourTolerance &&
         std::abs(seen.g - static_cast<int>(rgb >> 8 & 0xff)) <= kColourTolerance &&
         std::abs(seen.b - static_cast<int>(rgb & 0xff)) <= kColourTolerance;
}

std::string describe(const BrowserPhone::CanvasPixels& seen) {
  std::string text = std::to_string(seen.width) + "x" + std::to_string(seen.height) + ":";
  for (const auto& c : seen.pixels) {
    text +=
        " (" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
  }
  return text;
}

// The service, an agent on a private X screen that serves through the service's relay and is
// registered for the test's account, an X window of the test's covering that screen, and the
// phone's browser.
class WebEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(agent_->serving()) << agent_->log();
    account::testing::AccountClient(origin_).signInWithDevice(kEmail, agent_->secret());
    window_ = x_.openWindow(0, 0, kScreenWidth, kScreenHeight);
    showQuadrants(kQuadrants);
    // This run's pictures only.
    std::filesystem::create_directories(WEB_E2E_SCREENSHOTS);
    for (const auto& entry : std::filesystem::directory_iterator(
             WEB_E2E_SCREENSHOTS, std::filesystem::directory_options::skip_permission_denied)) {
      if (entry.path().filename().string().starts_with(testName() + "-")) {
        std::filesystem::remove(entry.path());
      }
    }
    phone_ = std::make_unique<BrowserPhone>(
        BrowserPhone::Options{.camera = camera(), .screenshots = WEB_E2E_SCREENSHOTS});
  }

  // The file the phone's camera plays; none by default.
  virtual std::string camera() { return {}; }

  void TearDown() override {
    if (phone_) {
      try {
        shot("last");
      } catch (const std::exception&) {
        // The failure that brought us here says more than a missing picture.
      }
      if (HasFailure()) std::cerr << "phone log:\n" << phone_->log() << "\n";
    }
    if (HasFailure()) std::cerr << "agent log:\n" << agent_->log() << "\n";
    testing_support::endProcess(restartedAgent_);
  }

  void showQuadrants(const std::uint32_t (&colours)[4]) {
    const int w = kScreenWidth / 2, h = kScreenHeight / 2;
    x_.fill(window_, colours[0], 0, 0, w, h);
    x_.fill(window_, colours[1], w, 0, w, h);
    x_.fill(window_, colours[2], 0, h, w, h);
    x_.fill(window_, colours[3], w, h, w, h);
    x_.sync();
  }

  // The whole page, for a person to look at: <build>/tests/web/screenshots/<case>-<step>.png.
  void shot(const std::string& step) { phone_->screenshot(testName() + "-" + step); }

  // The agent's entry in the device list.
  std::string device() const {
    return "li.device[data-fingerprint=\"" +
           protocol::RoomKey::derive(agent_->secret()).fingerprint() + "\"]";
  }

  // The link the agent prints for phones: "  web: <origin>/app/#pair=<code>".
  std::string webLink() const {
    std::string link;
    eventually([&] {
      const std::string log = agent_->log();
      const auto at = log.find("  web: ");
      if (at == std::string::npos) return false;
      link = log.substr(at + 7, log.find('\n', at) - at - 7);
      return true;
    });
    return link;
  }

  void signIn() {
    phone_->goTo(origin_ + "/app/");
    ASSERT_TRUE(phone_->waitFor("#view-signin")) << phone_->lastWaitError();
    shot("signin");
    phone_->fill("#dev-email", kEmail);
    phone_->tap("button[data-provider=\"dev\"]");
    ASSERT_TRUE(phone_->waitFor("#view-devices")) << phone_->lastWaitError();
  }

  // Signed in, the phone opens the agent's web link as a link from another app opens: a new
  // page load.
  void openScreenByLink() {
    ASSERT_NO_FATAL_FAILURE(signIn());
    const std::string link = webLink();
    ASSERT_EQ(link, origin_ + "/app/#pair=" + agent_->secret().code()) << agent_->log();
    phone_->goTo("about:blank");
    phone_->goTo(link);
    ASSERT_TRUE(phone_->waitFor("#view-screen")) << phone_->lastWaitError();
    ASSERT_TRUE(framesArrive()) << phone_->lastWaitError();
    ASSERT_TRUE(showsQuadrants(kQuadrants));
  }

  // Frames beyond `decoded` have been decoded.
  bool framesArrive(int decoded = 0) {
    return phone_->waitUntil("window.lumora?.stats?.decodedFrames > " + std::to_string(decoded),
                             20s);
  }
  int decodedFrames() {
    return static_cast<int>(phone_->eval("window.lumora.stats.decodedFrames").to_number<double>());
  }

  // Whether the canvas comes to show the X screen's quadrants (the stream carries changes as
  // they come, so a new picture may take a few frames).
  bool showsQuadrants(const std::uint32_t (&colours)[4]) {
    BrowserPhone::CanvasPixels seen;
    const bool shown = eventually([&] {
      seen = phone_->canvasPixels(kQuadrantCentres);
      if (seen.width != kScreenWidth || seen.height != kScreenHeight) return false;
      for (int i = 0; i < 4; ++i) {
        if (!near(seen.pixels.at(i), colours[i])) return false;
      }
      return true;
    });
    EXPECT_TRUE(shown) << "the canvas shows " << describe(seen);
    return shown;
  }

  // The page's point over the X screen's pixel (x, y).
  std::pair<double, double> pageAtScreen(int x, int y) {
    return phone_->pageAtPicture((x + 0.5) / kScreenWidth, (y + 0.5) / kScreenHeight).value();
  }

  // The agent leaves (SIGTERM), to come back later with the same home and so the same pairing.
  void stopAgent() { ASSERT_EQ(agent_->terminate(), 0) << agent_->log(); }
  void startAgentAgain() {
    const std::string home = agent_->home().path().string();
    restartedAgent_ = testing_support::spawnProcess(
        {testing_support::AgentProcess::binary(), "--port", "0", "--no-qr", "--relay-base",
         origin_},
        {.environment = std::vector<std::string>{"HOME=" + home, "PATH=/usr/bin:/bin",
                                                 "DISPLAY=" + xvfb_.display()},
         .output = home + "/agent.log",
         .error = home + "/agent.log"});
  }

  testing_support::XvfbServer xvfb_{std::to_string(kScreenWidth) + "x" +
                                    std::to_string(kScreenHeight) + "x24"};
  testing_support::TestXClient x_{xvfb_.display()};
  xcb_window_t window_ = 0;
  testing_support::AccountServiceProcess service_{{"--dev", "--listen", "127.0.0.1:0"}};
  const std::string origin_ = service_.url();
  std::unique_ptr<testing_support::AgentProcess> agent_ =
      std::make_unique<testing_support::AgentProcess>(
          std::vector<std::string>{"DISPLAY=" + xvfb_.display()},
          std::vector<std::string>{"--relay-base", origin_});
  pid_t restartedAgent_ = -1;
  std::unique_ptr<BrowserPhone> phone_;
};

TEST_F(WebEndToEndTest, SignsInListsTheDeviceAndPairsByAPastedLink) {
  ASSERT_NO_FATAL_FAILURE(signIn());
  ASSERT_TRUE(phone_->waitFor(device())) << phone_->lastWaitError();
  shot("devices");
  EXPECT_EQ(phone_->eval("document.querySelectorAll('li.device').length"), 1);
  EXPECT_EQ(phone_->text(device() + " .device-name"), "desk");
  // Registered by its computer, which has not told the service where it is since; not yet
  // paired with this browser.
  EXPECT_EQ(phone_->text(device() + " .device-state"), "Registered · Not paired with this browser");

  // A computer this browser has not paired with asks for its link first. A link of a computer
  // the account does not hold is refused; the desktop's own link, pasted, opens this one.
  phone_->tap(device());
  ASSERT_TRUE(phone_->waitFor("#view-pair")) << phone_->lastWaitError();
  phone_->fill("#pair-link", "lumora://pair?host=127.0.0.1&cp=1&mp=2&code=" +
                                 protocol::PairingSecret::generate().code());
  phone_->tap("#pair-submit");
  EXPECT_TRUE(phone_->waitFor("#pair-error")) << phone_->lastWaitError();
  EXPECT_NE(phone_->text("#pair-error").find("not registered"), std::string::npos)
      << phone_->text("#pair-error");
  shot("unknown-computer");
  phone_->fill("#pair-link", agent_->link());
  phone_->tap("#pair-submit");
  ASSERT_TRUE(phone_->waitFor("#view-screen")) << phone_->lastWaitError();
  EXPECT_TRUE(framesArrive()) << phone_->lastWaitError();

  phone_->tap("#screen-back");
  ASSERT_TRUE(phone_->waitFor("#view-devices")) << phone_->lastWaitError();
  phone_->tap("#sign-out");
  EXPECT_TRUE(phone_->waitFor("#view-signin")) << phone_->lastWaitError();
  EXPECT_TRUE(phone_->waitFor("#view-devices", "hidden")) << phone_->lastWaitError();
}

TEST_F(WebEndToEndTest, PairsByTheAgentsLinkAndShowsTheXScreen) {
  ASSERT_NO_FATAL_FAILURE(openScreenByLink());
  shot("screen");
  EXPECT_EQ(phone_->attribute("#screen-status", "data-state"), "connected");
  EXPECT_EQ(phone_->eval("window.lumora.stats.decoderErrors"), 0);

  // What changes on the X screen changes on the canvas.
  constexpr std::uint32_t kSwapped[4] = {kQuadrants[3], kQuadrants[2], kQuadrants[1],
                                         kQuadrants[0]};
  showQuadrants(kSwapped);
  EXPECT_TRUE(showsQuadrants(kSwapped));
  shot("changed");

  // Now paired, the computer opens from the list.
  phone_->tap("#screen-back");
  ASSERT_TRUE(phone_->waitFor(device())) << phone_->lastWaitError();
  EXPECT_TRUE(phone_->waitUntil("!document.querySelector('" + device() +
                                " .device-state').textContent.includes('Not paired')"))
      << phone_->text(device() + " .device-state");
  shot("paired");
  const int before = decodedFrames();
  phone_->tap(device());
  ASSERT_TRUE(phone_->waitFor("#view-screen")) << phone_->lastWaitError();
  EXPECT_TRUE(framesArrive(before)) << phone_->lastWaitError();
  EXPECT_TRUE(showsQuadrants(kSwapped));
}

TEST_F(WebEndToEndTest, ATapInDirectModeClicksWhereTappedAndATrackpadDragMovesThePointer) {
  ASSERT_NO_FATAL_FAILURE(openScreenByLink());
  ASSERT_EQ(phone_->attribute("#view-screen", "data-mode"), "direct");

  const auto [x, y] = pageAtScreen(192, 288);
  phone_->tapAt(x, y);
  const auto presses = x_.buttons(1, 10s);
  ASSERT_EQ(presses.size(), 1u) << phone_->log();
  EXPECT_EQ(presses[0].button, 1);
  EXPECT_NEAR(presses[0].x, 192, 4);
  EXPECT_NEAR(presses[0].y, 288, 4);
  EXPECT_NEAR(x_.pointer().first, 192, 4);
  EXPECT_NEAR(x_.pointer().second, 288, 4);
  shot("tapped");

  phone_->tap("#mode-toggle");
  ASSERT_TRUE(phone_->waitFor("#view-screen[data-mode=\"trackpad\"]", "attached"))
      << phone_->lastWaitError();
  ASSERT_TRUE(phone_->waitFor("#cursor")) << phone_->lastWaitError();
  // A finger sliding right across the canvas takes the pointer right, where it was, without a
  // click.
  const auto [startX, startY] = pageAtScreen(128, 240);
  const auto [endX, endY] = pageAtScreen(384, 240);
  BrowserPhone::Path slide;
  for (int step = 0; step <= 10; ++step) {
    slide.emplace_back(startX + (endX - startX) * step / 10, startY);
  }
  phone_->drag({slide});
  EXPECT_TRUE(eventually([&] { return x_.pointer().first > 192 + 20; }))
      << "the pointer stayed at " << x_.pointer().first << "," << x_.pointer().second;
  EXPECT_NEAR(x_.pointer().second, 288, 8);
  EXPECT_EQ(x_.buttons(2, 500ms).size(), 1u) << "a trackpad slide clicked";
  shot("trackpad");
}

TEST_F(WebEndToEndTest, TypedTextAndTheKeyStripReachTheFocusedXWindow) {
  ASSERT_NO_FATAL_FAILURE(openScreenByLink());
  phone_->tap("#keyboard-button");
  EXPECT_EQ(phone_->eval("document.activeElement?.id ?? ''"), "keyboard-input");
  shot("keyboard");
  const std::u32string text = U"Hello, web 42!";
  phone_->type("Hello, web 42!", "#keyboard-input");
  EXPECT_EQ(x_.typed(text.size(), 10s), text) << phone_->log();

  // The strip's keys are keys, not text.
  phone_->tap("button[data-key=\"Escape\"]");
  EXPECT_TRUE(eventually([&] {
    const auto keys = x_.keysyms(SIZE_MAX, 0ms);
    return std::find(keys.begin(), keys.end(), XK_Escape) != keys.end();
  })) << "no Escape reached the window";
}

TEST_F(WebEndToEndTest, TheSessionSurvivesTheAgentLeavingAndComingBack) {
  ASSERT_NO_FATAL_FAILURE(openScreenByLink());
  ASSERT_NO_FATAL_FAILURE(stopAgent());
  EXPECT_TRUE(phone_->waitFor("#screen-status[data-state=\"reconnecting\"]", "attached"))
      << phone_->lastWaitError();
  shot("reconnecting");
  // The screen changes while nobody streams it: the frames that show it are new ones.
  constexpr std::uint32_t kRotated[4] = {kQuadrants[1], kQuadrants[3], kQuadrants[0],
                                         kQuadrants[2]};
  showQuadrants(kRotated);
  const int before = decodedFrames();

  startAgentAgain();
  EXPECT_TRUE(phone_->waitFor("#screen-status[data-state=\"connected\"]", "attached", 30s))
      << phone_->lastWaitError();
  EXPECT_TRUE(framesArrive(before)) << phone_->lastWaitError();
  EXPECT_TRUE(showsQuadrants(kRotated));
  shot("back");
}

// Added to the home screen: the page declares itself installable, starts with no network from
// the shell its service worker keeps, keeps nothing of the user's, and opens the computer used
// last.
constexpr const char* kControlled = "navigator.serviceWorker.controller !== null";
// Every address in Cache Storage, sorted.
constexpr const char* kCachedPaths =
    "(async () => { const paths = []; for (const name of await caches.keys()) "
    "for (const r of await (await caches.open(name)).keys()) paths.push(new URL(r.url).pathname); "
    "return paths.sort().join(' '); })()";

TEST_F(WebEndToEndTest, TheManifestMakesThePageInstallable) {
  phone_->goTo(origin_ + "/app/");
  ASSERT_TRUE(phone_->waitUntil(kControlled)) << phone_->lastWaitError();
  const auto found = phone_->ask({{"op", "installability"}}).as_object();
  EXPECT_EQ(found.at("url"), (origin_ + "/app/manifest.webmanifest").c_str());
  EXPECT_TRUE(found.at("errors").as_array().empty()) << boost::json::serialize(found);
  // The driver's browser context is off the record, which alone keeps Chromium from offering
  // an install; any other reason is the page's.
  std::vector<std::string> reasons;
  for (const auto& error : found.at("installabilityErrors").as_array()) {
    reasons.emplace_back(error.at("errorId").as_string());
  }
  EXPECT_EQ(reasons, std::vector<std::string>{"in-incognito"}) << boost::json::serialize(found);
}

TEST_F(WebEndToEndTest, AfterOneLoadThePageStartsOfflineAndNeverKeepsTheAPI) {
  ASSERT_NO_FATAL_FAILURE(signIn());
  ASSERT_TRUE(phone_->waitUntil(kControlled)) << phone_->lastWaitError();
  phone_->ask({{"op", "offline"}, {"offline", true}});
  phone_->goTo(origin_ + "/app/");
  EXPECT_TRUE(phone_->waitFor("#view-devices")) << phone_->lastWaitError();
  EXPECT_TRUE(phone_->waitFor("#devices-message")) << phone_->lastWaitError();
  shot("offline");
  EXPECT_EQ(phone_->eval("fetch('/devices').then(() => 'answered', () => 'failed')"), "failed");
  // Signing in and listing the devices went through the worker: only the shell was kept.
  EXPECT_EQ(phone_->eval(kCachedPaths),
            "/app/app.css /app/app.js /app/icon-192.png /app/icon-512.png /app/icon.svg "
            "/app/index.html /app/manifest.webmanifest");
}

TEST_F(WebEndToEndTest, AReloadOpensTheComputerUsedLastAndBackLeadsToTheList) {
  ASSERT_NO_FATAL_FAILURE(openScreenByLink());
  phone_->ask({{"op", "reload"}});
  ASSERT_TRUE(phone_->waitFor("#view-screen")) << phone_->lastWaitError();
  EXPECT_TRUE(framesArrive()) << phone_->lastWaitError();
  phone_->tap("#screen-back");
  EXPECT_TRUE(phone_->waitFor(device())) << phone_->lastWaitError();
}

// The phone scans the QR code the agent shows, through Chromium's fake camera.
class WebQRScanTest : public WebEndToEndTest {
 protected:
  std::string camera() override {
    const std::string path = cameraFolder_ / "pairing-qr.y4m";
    auto picture = testing_support::qrCodePicture(agent_->link(), 640, 480, 6);
    // The picture is readable by an independent decoder, so a failure below is the page's.
    const auto read = testing_support::scanQRCode(picture.pixels, picture.width, picture.height);
    if (read != agent_->link()) throw std::runtime_error("the camera's QR code does not read back");
    testing_support::writeY4M(picture, 2, path);
    return path;
  }

  testing_support::TempDir cameraFolder_;
};

TEST_F(WebQRScanTest, PairsByScanningTheAgentsQRCode) {
  ASSERT_NO_FATAL_FAILURE(signIn());
  phone_->tap("#pair-open");
  ASSERT_TRUE(phone_->waitFor("#view-pair")) << phone_->lastWaitError();
  // The camera's picture reads at once: the scanner may come and go before a look at it.
  phone_->tap("#pair-scan");
  ASSERT_TRUE(phone_->waitFor("#view-screen", "visible", 20s))
      << phone_->lastWaitError() << "; pair error: " << phone_->text("#pair-error");
  EXPECT_TRUE(framesArrive()) << phone_->lastWaitError();
  EXPECT_TRUE(showsQuadrants(kQuadrants));
  shot("screen");
}

}  // namespace
}  // namespace lumora
