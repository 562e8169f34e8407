// The web client's sign-in, pairing and screen, as a phone's browser uses them (the fixture
// in web_fixture.h says what runs).

#include <gtest/gtest.h>

#include "web/web_fixture.h"

namespace lumora {
namespace {

using namespace std::chrono_literals;
using namespace web_testing;
using testing_support::BrowserPhone;
using testing_support::eventually;

// Signed in, the list shows the agent; a computer this browser has not paired with asks for its
// link first. Once paired, the computer opens from the list.
TEST_F(WebEndToEndTest, SignsInPairsByAPastedLinkShowsTheXScreenAndOpensItAgainLater) {
  ASSERT_NO_FATAL_FAILURE(signIn());
  phone_->require(device());
  EXPECT_EQ(phone_->text(device() + " .device-name"), "desk");
  // Registered by its computer, which has not told the service where it is since; not yet
  // paired with this browser.
  EXPECT_EQ(phone_->text(device() + " .device-state"), "Registered · Not paired with this browser");

  // A link of a computer the account does not hold is refused; the desktop's own link, pasted,
  // opens this one.
  phone_->tap(device());
  phone_->require("#view-pair");
  phone_->fill("#pair-link", "lumora://pair?host=127.0.0.1&cp=1&mp=2&code=" +
                                 protocol::PairingSecret::generate().code());
  phone_->tap("#pair-submit");
  phone_->require("#pair-error");
  phone_->fill("#pair-link", agent_->link());
  phone_->tap("#pair-submit");
  phone_->require("#view-screen");
  requireFrames();
  EXPECT_TRUE(showsQuadrants(kQuadrants));

  phone_->tap("#screen-back");
  phone_->require(device());
  const int before = decodedFrames();
  phone_->tap(device());
  phone_->require("#view-screen");
  requireFrames(before);
  phone_->tap("#screen-back");
  phone_->require(device());
  phone_->tap("#sign-out");
  phone_->require("#view-signin");
  phone_->require("#view-devices", "hidden");
}

// A tap in direct mode clicks where tapped, a trackpad drag moves the pointer, and typed text
// reaches the focused X window.
TEST_F(WebEndToEndTest, TouchesAndTypingReachTheXScreen) {
  ASSERT_NO_FATAL_FAILURE(openScreenByLink());
  ASSERT_EQ(phone_->attribute("#view-screen", "data-mode"), "direct");

  const auto [x, y] = pageAtScreen(192, 288);
  phone_->tapAt(x, y);
  const auto presses = x_.buttons(1, 10s);
  ASSERT_EQ(presses.size(), 1u) << phone_->log();
  EXPECT_EQ(presses[0].button, 1);
  EXPECT_NEAR(presses[0].x, 192, 4);
  EXPECT_NEAR(presses[0].y, 288, 4);

  // Typed text reaches the focused X window.
  phone_->tap("#keyboard-button");
  const std::u32string text = U"Hello, web 42!";
  phone_->type("Hello, web 42!", "#keyboard-input");
  EXPECT_EQ(x_.typed(text.size(), 10s), text) << phone_->log();

  phone_->tap("#mode-toggle");
  phone_->require("#view-screen[data-mode=\"trackpad\"]", "attached");
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
}

TEST_F(WebEndToEndTest, TheSessionSurvivesTheAgentLeavingAndComingBack) {
  ASSERT_NO_FATAL_FAILURE(openScreenByLink());
  ASSERT_NO_FATAL_FAILURE(stopAgent());
  phone_->require("#screen-status[data-state=\"reconnecting\"]", "attached");
  // The screen changes while nobody streams it: the frames that show it are new ones.
  constexpr std::uint32_t kRotated[4] = {kQuadrants[1], kQuadrants[3], kQuadrants[0],
                                         kQuadrants[2]};
  showQuadrants(kRotated);
  const int before = decodedFrames();

  startAgentAgain();
  // Waiting out its backoff, the page offers to try at once.
  phone_->require("#reconnect");
  phone_->tap("#reconnect");
  phone_->require("#screen-status[data-state=\"connected\"]", "attached", 30s);
  requireFrames(before);
  EXPECT_TRUE(showsQuadrants(kRotated));
}

// The phone scans the QR code the agent shows, through Chromium's fake camera.
class WebQRScanTest : public WebEndToEndTest {
 protected:
  std::string camera() override {
    const std::string path = cameraFolder_ / "pairing-qr.y4m";
    testing_support::writeQRCodeY4M(agent_->link(), path);
    return path;
  }

  testing_support::TempDir cameraFolder_;
};

TEST_F(WebQRScanTest, PairsByScanningTheAgentsQRCode) {
  ASSERT_NO_FATAL_FAILURE(signIn());
  phone_->tap("#pair-open");
  phone_->require("#view-pair");
  // The camera's picture reads at once: the scanner may come and go before a look at it.
  phone_->tap("#pair-scan");
  ASSERT_TRUE(phone_->waitFor("#view-screen", "visible", 20s))
      << phone_->lastWaitError() << "; pair error: " << phone_->text("#pair-error");
  requireFrames();
  EXPECT_TRUE(showsQuadrants(kQuadrants));
}

}  // namespace
}  // namespace lumora
