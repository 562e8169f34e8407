#pragma once

// The web client end to end, as a phone's browser uses it: the real account service (--dev)
// serves the page at /app/ and runs the relay, the real agent on a private Xvfb serves through
// that relay, and headless Chromium in a Pixel 7 context signs in, pairs, watches the screen
// and drives the computer. The computer's side is checked where it lands: the X pointer, the
// buttons and keys an X window of the test receives, the pixels the canvas shows against what
// the X screen shows.

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

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
#include "support/spawn.h"
#include "support/test_x_client.h"
#include "support/xvfb_server.h"
#include "web/qr_camera.h"

namespace lumora::web_testing {

using namespace std::chrono_literals;
using testing_support::BrowserPhone;
using testing_support::eventually;

constexpr int kScreenWidth = 640;
constexpr int kScreenHeight = 480;
constexpr const char* kEmail = "ada@example.com";
// Top left, top right, bottom left, bottom right: far apart in every channel, so that an H.264
// picture of them (chroma at half resolution) still tells them apart.
constexpr std::uint32_t kQuadrants[4] = {0xd02020, 0x20c040, 0x2040e0, 0xf0e020};
inline const BrowserPhone::Path kQuadrantCentres = {
    {0.25, 0.25}, {0.75, 0.25}, {0.25, 0.75}, {0.75, 0.75}};
// How far a colour of the canvas may be from the X screen's after H.264 (per channel).
constexpr int kColourTolerance = 48;

// A JavaScript string literal of `text`, for expressions the page evaluates.
inline std::string jsString(const std::string& text) {
  return boost::json::serialize(boost::json::value(text));
}
// The page's element at `selector`, as an expression.
inline std::string element(const std::string& selector) {
  return "document.querySelector(" + jsString(selector) + ")";
}

inline std::string testName() {
  return ::testing::UnitTest::GetInstance()->current_test_info()->name();
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
    // This run's picture only.
    std::filesystem::remove(std::filesystem::path(WEB_E2E_SCREENSHOTS) / (testName() + ".png"));
    phone_ = std::make_unique<BrowserPhone>(
        BrowserPhone::Options{.camera = camera(), .screenshots = WEB_E2E_SCREENSHOTS});
  }

  // The file the phone's camera plays; none by default.
  virtual std::string camera() { return {}; }

  // The page as the case left it, for a person to look at:
  // <build>/tests/web/screenshots/<case>.png.
  void TearDown() override {
    if (phone_) {
      try {
        phone_->screenshot(testName());
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
    for (int i = 0; i < 4; ++i) x_.fill(window_, colours[i], i % 2 * w, i / 2 * h, w, h);
    x_.sync();
  }

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
    phone_->require("#view-signin");
    phone_->fill("#dev-email", kEmail);
    phone_->tap("button[data-provider=\"dev\"]");
    phone_->require("#view-devices");
  }

  // Signed in, the phone opens the agent's web link as a link from another app opens: a new
  // page load.
  void openScreenByLink() {
    ASSERT_NO_FATAL_FAILURE(signIn());
    const std::string link = webLink();
    ASSERT_EQ(link, origin_ + "/app/#pair=" + agent_->secret().code()) << agent_->log();
    phone_->goTo("about:blank");
    phone_->goTo(link);
    phone_->require("#view-screen");
    requireFrames();
  }

  // The computer opened by its link, on the panel whose tab is `panel` (files, terminal…).
  void openPanel(const std::string& panel) {
    ASSERT_NO_FATAL_FAILURE(openScreenByLink());
    phone_->tap("#computer-tabs button[data-panel=" + jsString(panel) + "]");
  }

  // Answers the confirmation the page asks for, which then goes away.
  void answerConfirmation(bool yes) {
    phone_->require("#confirm-dialog");
    phone_->tap(yes ? "#confirm-yes" : "#confirm-no");
    phone_->require("#confirm-dialog", "hidden");
  }

  // Whether the `property` of the element at `selector` (textContent, value…) comes to be `text`.
  bool becomes(const std::string& selector, const std::string& property, const std::string& text) {
    return phone_->waitUntil(element(selector) + "?." + property + " === " + jsString(text));
  }

  // Frames beyond `decoded` come to be decoded.
  void requireFrames(int decoded = 0) {
    phone_->requireTrue("window.lumora?.stats?.decodedFrames > " + std::to_string(decoded), 20s);
  }
  int decodedFrames() {
    return static_cast<int>(phone_->eval("window.lumora.stats.decodedFrames").to_number<double>());
  }

  // Whether the canvas comes to show the whole X screen with `colours` (0xRRGGBB) in its
  // quadrants, each channel within kColourTolerance (the stream carries changes as they come, so
  // a new picture may take a few frames).
  bool showsQuadrants(const std::uint32_t (&colours)[4]) {
    boost::json::value seen;
    const auto matches = [&] {
      if (seen.at("width").to_number<int>() != kScreenWidth ||
          seen.at("height").to_number<int>() != kScreenHeight) {
        return false;
      }
      for (int i = 0; i < 4; ++i) {
        for (int channel = 0; channel < 3; ++channel) {
          const int wanted = static_cast<int>(colours[i] >> (16 - 8 * channel) & 0xff);
          const int shown = seen.at("pixels").at(i).at(channel).to_number<int>();
          if (std::abs(shown - wanted) > kColourTolerance) return false;
        }
      }
      return true;
    };
    const bool shown = eventually([&] {
      seen = phone_->canvasPixels(kQuadrantCentres);
      return matches();
    });
    EXPECT_TRUE(shown) << "the canvas shows " << boost::json::serialize(seen);
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

}  // namespace lumora::web_testing
